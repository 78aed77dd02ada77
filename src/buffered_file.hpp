// The buffered file reader: a read-ahead buffer in front of a raw file (PosixFile
// in the module, the in-memory file in the tests and the fuzzer), making it the
// byte source the readers take. Python-free.
//
// It reads by three policies, each a piece of its own below:
// - the buffer: the bytes read ahead, with room before them for a header
//   given back (unread);
// - the fill size: how far a fill reads ahead, small after a jump in the file
//   and doubling while the reading goes on in order;
// - the direct read: a request that still needs many bytes is read straight
//   into its destination, with the next few bytes of the file brought into
//   the buffer by the same system call.
#pragma once

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "byte_source.hpp"
#include "io_failure.hpp"

#include <variant>

namespace pelvar {

// The bytes read ahead of the readers, and what they have not taken yet.
class ReadAheadBuffer {
public:
    // Room before the data of every fill for bytes given back by unread().
    static constexpr std::size_t putback_bytes = 64;

    explicit ReadAheadBuffer(std::size_t capacity)
        : storage_(std::make_unique_for_overwrite<std::byte[]>(putback_bytes + capacity)),
          data_(storage_.get() + putback_bytes), next_(data_), end_(data_) {}

    std::size_t buffered() const noexcept { return static_cast<std::size_t>(end_ - next_); }
    const std::byte* next() const noexcept { return next_; }
    void consume(std::size_t count) noexcept { next_ += count; }
    void clear() noexcept { next_ = end_ = data_; }

    // Where a fill writes; then filled(count) says how much it brought.
    std::byte* fill_area() noexcept { return data_; }
    void filled(std::size_t count) noexcept {
        next_ = data_;
        end_ = data_ + count;
    }

    // The last `count` bytes taken (at most putback_bytes), which are
    // `bytes`, back in front.
    void unread(const void* bytes, std::size_t count) noexcept {
        // Every fill starts putback_bytes into the storage, so there is room
        // before next_ even when the bytes were taken before the last fill
        // (a header that straddled two fills).
        next_ -= count;
        if (bytes != next_) {  // not where they were taken from
            std::memcpy(next_, bytes, count);
        }
    }

private:
    std::unique_ptr<std::byte[]> storage_;
    std::byte* data_;  // storage_ after the put-back room: where fills start
    std::byte* next_;  // next unread byte
    std::byte* end_;   // end of the file's bytes
};

template <RawFile Raw>
class BufferedReader {
public:
    // The most a fill reads ahead.
    static constexpr std::size_t capacity = 65536;
    // The first fill after opening, a seek or a rewind: enough for headers
    // and small events without copying a long stretch that may not be used
    // (the layout probe of a WD2 file reads two headers with a seek between,
    // and for events up to this size finds the second header in this fill).
    // Each fill that follows the previous one doubles, up to `capacity`.
    static constexpr std::size_t first_fill = 8192;
    // A request that still needs at least this many bytes after the buffered
    // ones is read straight into its destination: no copy through the buffer.
    static constexpr std::size_t direct_bytes = 16384;
    // What such a direct read brings along into the buffer, in the same
    // system call (readv): the next header and perhaps a small event. At most
    // this, ending on a page boundary of the file, so that the next direct
    // read starts on one; never less than direct_tail / 4.
    static constexpr std::size_t direct_tail = 4096;
    // A skip of at least this many bytes beyond the buffer seeks where the
    // file's size vouches for them; a shorter one reads through, which
    // costs less than a seek and the small read after it.
    static constexpr std::size_t seek_bytes = 16384;
    // The fill after such a seek: a header and a little more.
    static constexpr std::size_t after_seek_fill = 512;

    static constexpr std::size_t putback_bytes = ReadAheadBuffer::putback_bytes;

    // `interrupt_check` decides what a call interrupted by a signal does
    // (see InterruptCheck); without one it is repeated.
    explicit BufferedReader(Raw raw, InterruptCheck interrupt_check = nullptr)
        : raw_(std::move(raw)), buffer_(capacity), interrupt_check_(interrupt_check) {}

    // Delivers all `count` bytes, or fails. On the end-of-file failure the
    // bytes delivered so far stay consumed. A read of 0 bytes touches nothing.
    IoStatus read_exact(void* destination, std::size_t count) noexcept {
        // Headers and small blocks come from the buffer: this much is inlined
        // into every reader step.
        if (count <= buffer_.buffered()) [[likely]] {
            copy_bytes(static_cast<std::byte*>(destination), buffer_.next(), count);
            buffer_.consume(count);
            return std::nullopt;
        }
        return read_beyond_buffer(static_cast<std::byte*>(destination), count);
    }

    // The next `count` bytes where they lie in the buffer, consumed; null,
    // with nothing consumed, when the buffer holds fewer (read_exact them).
    // Saves copying a header that is decoded at once.
    const std::byte* take_buffered(std::size_t count) noexcept {
        if (count > buffer_.buffered()) {
            return nullptr;
        }
        const std::byte* at = buffer_.next();
        buffer_.consume(count);
        return at;
    }

    // Up to `count` bytes (at least one), as many as come without waiting
    // twice: the buffered ones, or one fill's. 0 at the end of the file.
    // For a reader that must keep every byte it consumes, also those of a
    // read that the end of the file cuts short.
    [[nodiscard]] std::variant<std::size_t, IoFailure> read_some(void* destination, std::size_t count) noexcept {
        if (count == 0) {
            return std::size_t{0};
        }
        if (buffer_.buffered() == 0) {
            if (auto failure = fill(1)) {
                if (failure->is_end_of_file()) {
                    return std::size_t{0};
                }
                return *failure;
            }
        }
        const std::size_t take = std::min(count, buffer_.buffered());
        std::memcpy(destination, buffer_.next(), take);
        buffer_.consume(take);
        return take;
    }

    // Puts bytes that were read from this source back in front of what it
    // has not delivered yet: the next reads deliver them again, in order.
    // For a layout probe over a source that cannot seek back, and for an
    // event whose read failed in a way that may be tried again.
    void give_back(const void* bytes, std::size_t count) {
        const auto* first = static_cast<const std::byte*>(bytes);
        replay(std::vector<std::byte>(first, first + count));
    }
    void replay(std::vector<std::byte> bytes) {
        std::vector<std::byte> rest(buffer_.next(), buffer_.next() + buffer_.buffered());
        if (replay_next_ != replay_.size()) {
            rest.insert(rest.end(), replay_.begin() + static_cast<std::ptrdiff_t>(replay_next_), replay_.end());
        }
        bytes.insert(bytes.end(), rest.begin(), rest.end());
        buffer_.clear();
        replay_ = std::move(bytes);
        replay_next_ = 0;
    }

    std::size_t buffered() const noexcept { return buffer_.buffered(); }

    // Gives back the last `count` bytes that read_exact or take_buffered
    // delivered, which are `bytes` (at most putback_bytes of them): the next
    // read delivers them again. A header whose event does not fit where it
    // was to go is read again later, with no system call and no seek.
    void unread(const void* bytes, std::size_t count) noexcept { buffer_.unread(bytes, count); }

    // Moves `count` bytes forward. A regular file is seeked as far as its
    // size vouches for, when what is left to skip beyond the buffer is worth
    // a seek; the rest (all of it for anything else) is read and discarded
    // through the buffer, since a size can be wrong (0 for /proc files,
    // behind the truth for a file still being written). The size is asked
    // again only when the skip reaches past the size known from before.
    // Only the real end of the file is the end-of-file failure.
    IoStatus skip(std::uint64_t count) noexcept {
        if (count <= buffer_.buffered()) {
            buffer_.consume(static_cast<std::size_t>(count));
            return std::nullopt;
        }
        count -= buffer_.buffered();
        buffer_.clear();
        const std::uint64_t replayed = std::min<std::uint64_t>(count, replay_left());
        replay_next_ += static_cast<std::size_t>(replayed);
        count -= replayed;
        if (count == 0) {
            return std::nullopt;
        }
        if (count >= seek_bytes) {
            if (count > known_end_ - std::min(known_end_, offset_)) {
                if (auto left = raw_.remaining()) {
                    known_end_ = offset_ + *left;
                }
            }
            const std::uint64_t vouched = std::min(count, known_end_ - std::min(known_end_, offset_));
            if (vouched != 0) {
                if (auto failure = raw_.seek_forward(vouched)) {
                    return failure;
                }
                offset_ += vouched;
                count -= vouched;
                // Whoever skips far reads little before the next skip (a
                // header): a full fill would be copied only to be skipped.
                fill_size_.after_seek();
            }
        }
        while (count != 0) {
            if (auto failure = fill(capacity)) {
                return failure;
            }
            const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(count, buffer_.buffered()));
            buffer_.consume(take);
            count -= take;
        }
        return std::nullopt;
    }

    // Where the next byte delivered lies in the stream, from where the
    // source started (the start of the file, or of a file object's bytes).
    std::uint64_t position() const noexcept { return offset_ - buffer_.buffered() - replay_left(); }

    // Seeks to offset 0 and discards the buffered bytes.
    IoStatus rewind() noexcept {
        buffer_.clear();
        drop_replay();
        fill_size_.restart();
        if (auto failure = raw_.seek_to_start()) {
            return failure;
        }
        offset_ = 0;
        return std::nullopt;
    }

    // Bytes known to be left (buffered, plus the rest of a regular file);
    // empty when the source cannot tell.
    [[nodiscard]] std::optional<std::uint64_t> remaining() noexcept {
        auto left = raw_.remaining();
        if (!left) {
            return std::nullopt;
        }
        return *left + buffer_.buffered() + replay_left();
    }

private:
    // How much the next fill asks for: first_fill after a jump, doubling up
    // to `capacity` while the reading goes on in order.
    class FillSize {
    public:
        std::size_t for_request(std::size_t need) const noexcept {
            return std::min(capacity, std::max(next_, need));
        }
        void grow() noexcept { next_ = std::min(capacity, next_ * 2); }
        void restart() noexcept { next_ = first_fill; }
        void after_seek() noexcept { next_ = after_seek_fill; }

    private:
        std::size_t next_ = first_fill;
    };

    // One raw read after the retries: the bytes it brought, or its failure.
    struct [[nodiscard]] Got {
        std::size_t count;
        IoStatus failure;
    };

    // memcpy, with the copies of a few dozen bytes (headers, the samples of
    // small events) done in line by two overlapping moves rather than by a
    // call.
    static void copy_bytes(std::byte* out, const std::byte* in, std::size_t count) noexcept {
        if (count > 32) {
            std::memcpy(out, in, count);
        } else if (count >= 16) {
            std::memcpy(out, in, 16);
            std::memcpy(out + count - 16, in + count - 16, 16);
        } else if (count >= 8) {
            std::memcpy(out, in, 8);
            std::memcpy(out + count - 8, in + count - 8, 8);
        } else {
            for (std::size_t i = 0; i < count; ++i) {
                out[i] = in[i];
            }
        }
    }

    // read_exact of more than the buffer holds. A failure of a source object
    // (the raised kind) consumes nothing: the bytes this call took go back,
    // so that the read can be tried again from where it began.
    [[gnu::noinline]] IoStatus read_beyond_buffer(std::byte* out, std::size_t count) noexcept {
        std::byte* const start = out;
        auto failure = read_beyond_buffer_from(out, count);
        if (failure && failure->is_raised() && out != start) {
            try {
                give_back(start, static_cast<std::size_t>(out - start));
            } catch (...) {
                return IoFailure::from_errno(ENOMEM);
            }
        }
        return failure;
    }

    // Moves `out` past what it delivers.
    IoStatus read_beyond_buffer_from(std::byte*& out, std::size_t count) noexcept {
        const std::size_t buffered = buffer_.buffered();
        if (buffered != 0) {
            std::memcpy(out, buffer_.next(), buffered);
            out += buffered;
            count -= buffered;
        }
        buffer_.clear();
        while (count != 0) {
            if (count >= direct_bytes && replay_left() == 0) {
                return read_direct(out, count);
            }
            if (auto failure = fill(count)) {
                return failure;
            }
            const std::size_t take = std::min(count, buffer_.buffered());
            std::memcpy(out, buffer_.next(), take);
            buffer_.consume(take);
            out += take;
            count -= take;
        }
        return std::nullopt;
    }

    // One raw read (read or readv), repeated while interrupted by a signal
    // (as the check allows); 0 bytes is the end-of-file failure.
    template <class Call>
    Got raw_read(Call call) noexcept {
        auto r = without_interruptions(call, interrupt_check_);
        if (!r) {
            return Got{0, IoFailure::interrupted()};
        }
        if (r->raised) {
            return Got{0, IoFailure::raised(std::move(r->raised))};
        }
        if (r->error_number != 0) {
            return Got{0, IoFailure::from_errno(r->error_number)};
        }
        if (r->count == 0) {
            return Got{0, IoFailure::end_of_file()};
        }
        offset_ += r->count;
        return Got{r->count, std::nullopt};
    }

    // Refills the empty buffer with one raw read, of at least `need` bytes
    // when the buffer holds that many.
    IoStatus fill(std::size_t need) noexcept {
        if (replay_left() != 0) {
            const std::size_t take = std::min(capacity, replay_left());
            std::memcpy(buffer_.fill_area(), replay_.data() + replay_next_, take);
            replay_next_ += take;
            buffer_.filled(take);
            if (replay_left() == 0) {
                drop_replay();
            }
            return std::nullopt;
        }
        const std::size_t want = fill_size_.for_request(need);
        auto got = raw_read([&] { return raw_.read(buffer_.fill_area(), want); });
        if (got.failure) {
            return got.failure;
        }
        buffer_.filled(got.count);
        fill_size_.grow();
        return std::nullopt;
    }

    // Reads `count` bytes straight into `out` (the buffer is empty), and in
    // the same calls up to direct_tail bytes behind them into the buffer.
    IoStatus read_direct(std::byte*& out, std::size_t count) noexcept {
        while (count != 0) {
            const std::uint64_t end = offset_ + count;
            std::size_t tail = direct_tail - static_cast<std::size_t>(end % direct_tail);
            if (tail < direct_tail / 4) {
                tail += direct_tail;
            }
            auto got = raw_read([&] { return raw_.readv(out, count, buffer_.fill_area(), tail); });
            if (got.failure) {
                return got.failure;
            }
            if (got.count >= count) {
                buffer_.filled(got.count - count);
                fill_size_.restart();
                out += count;
                return std::nullopt;
            }
            out += got.count;
            count -= got.count;
        }
        return std::nullopt;
    }

    std::size_t replay_left() const noexcept { return replay_.size() - replay_next_; }
    void drop_replay() noexcept {
        replay_ = std::vector<std::byte>();
        replay_next_ = 0;
    }

    Raw raw_;
    ReadAheadBuffer buffer_;
    // Bytes put back by replay(), delivered before the raw file's next ones.
    std::vector<std::byte> replay_;
    std::size_t replay_next_ = 0;
    FillSize fill_size_;
    std::uint64_t offset_ = 0;  // file offset of the raw file (bytes read, seeked)
    std::uint64_t known_end_ = 0;  // the raw file is known to hold bytes up to this offset
    InterruptCheck interrupt_check_;
};

}  // namespace pelvar
