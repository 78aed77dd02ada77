// Test doubles for the readers, shared by the C++ tests and the fuzzer: an
// in-memory raw file with scripted faults, usable as BufferedReader<ScriptedFile>,
// and an allocator that keeps count.
#pragma once

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <utility>
#include <vector>

#include "buffered_file.hpp"
#include "byte_source.hpp"
#include "io_failure.hpp"
#include "sample_buffer.hpp"

namespace pelvar_test {

using Bytes = std::vector<std::byte>;

// What a scripted file holds and does. The test keeps a shared pointer to it,
// so it can append bytes, change the faults and read the counters while the
// file itself is owned by a reader (or already released by one).
struct FileScript {
    Bytes bytes;
    std::uint64_t position = 0;

    // Faults.
    std::size_t max_per_read = std::numeric_limits<std::size_t>::max();  // short reads
    std::size_t interrupt_every = 0;                 // every k-th read call is EINTR; 0: never
    std::set<std::size_t> interrupt_calls;           // these read calls (1-based) are EINTR
    std::optional<std::uint64_t> error_at;           // reads at or past this offset fail
    int error_number = EIO;
    bool error_persistent = false;                   // false: the error is reported once
    bool seekable = true;                            // false: remaining() empty, seeks ESPIPE
    std::set<std::size_t> error_calls;               // these read calls (1-based) fail with error_number
    std::set<std::size_t> seek_error_calls;          // these seek_forward calls (1-based) fail with error_number
    std::optional<std::uint64_t> reported_size;      // the size remaining() believes (as fstat can be wrong)

    // Counters.
    std::size_t read_calls = 0;       // every call of read or readv, interrupted and failed ones included
    std::size_t readv_calls = 0;      // of those, the readv calls
    std::size_t interrupts = 0;       // EINTR returned
    std::size_t errors = 0;           // error_number returned
    std::uint64_t bytes_read = 0;     // bytes handed out
    const void* last_destination = nullptr;  // where the last read call was asked to write (readv: its first piece)
    std::size_t seek_forward_calls = 0;
    std::size_t remaining_calls = 0;
    std::uint64_t fault_position = 0;  // where the last error or EINTR was returned
    std::size_t seek_to_start_calls = 0;
    std::uint64_t furthest_position = 0;  // highest offset ever stood at, seeks included
    std::size_t open_handles = 0;     // live ScriptedFile objects over this script

    void append(std::span<const std::byte> more) { bytes.insert(bytes.end(), more.begin(), more.end()); }
    void fail_at(std::uint64_t offset, int number = EIO, bool persistent = false) {
        error_at = offset;
        error_number = number;
        error_persistent = persistent;
    }
    bool released() const noexcept { return open_handles == 0; }
};

class ScriptedFile {
public:
    explicit ScriptedFile(std::shared_ptr<FileScript> script) : script_(std::move(script)) {
        ++script_->open_handles;
    }
    ScriptedFile(ScriptedFile&& other) noexcept : script_(std::exchange(other.script_, nullptr)) {}
    ScriptedFile& operator=(ScriptedFile&& other) noexcept {
        if (this != &other) {
            drop();
            script_ = std::exchange(other.script_, nullptr);
        }
        return *this;
    }
    ScriptedFile(const ScriptedFile&) = delete;
    ScriptedFile& operator=(const ScriptedFile&) = delete;
    ~ScriptedFile() { drop(); }

    pelvar::RawRead read(void* destination, std::size_t count) noexcept {
        return transfer(destination, count, nullptr, 0);
    }

    // The same faults as read: one call, one fault, and the pieces filled in order.
    pelvar::RawRead readv(void* first, std::size_t first_count, void* second, std::size_t second_count) noexcept {
        ++script_->readv_calls;
        return transfer(first, first_count, second, second_count);
    }

    pelvar::IoStatus seek_to_start() noexcept {
        FileScript& s = *script_;
        ++s.seek_to_start_calls;
        if (!s.seekable) {
            return pelvar::IoFailure::from_errno(ESPIPE);
        }
        s.position = 0;
        return std::nullopt;
    }

    pelvar::IoStatus seek_forward(std::uint64_t count) noexcept {
        FileScript& s = *script_;
        ++s.seek_forward_calls;
        if (!s.seekable) {
            return pelvar::IoFailure::from_errno(ESPIPE);
        }
        if (s.seek_error_calls.count(s.seek_forward_calls) != 0) {
            ++s.errors;
            s.fault_position = s.position;
            return pelvar::IoFailure::from_errno(s.error_number);
        }
        if (count > std::uint64_t{INT64_MAX} - s.position) {
            return pelvar::IoFailure::from_errno(EINVAL);
        }
        // Like lseek: standing past the end is allowed, reads there give 0.
        s.position += count;
        s.furthest_position = std::max(s.furthest_position, s.position);
        return std::nullopt;
    }

    std::optional<std::uint64_t> remaining() noexcept {
        FileScript& s = *script_;
        ++s.remaining_calls;
        if (!s.seekable) {
            return std::nullopt;
        }
        const std::uint64_t size = s.reported_size.value_or(s.bytes.size());
        return s.position < size ? size - s.position : 0;
    }

private:
    pelvar::RawRead transfer(void* first, std::size_t first_count, void* second, std::size_t second_count) noexcept {
        FileScript& s = *script_;
        const std::size_t call = ++s.read_calls;
        s.last_destination = first;
        if ((s.interrupt_every != 0 && call % s.interrupt_every == 0) || s.interrupt_calls.count(call) != 0) {
            ++s.interrupts;
            s.fault_position = s.position;
            return {0, EINTR};
        }
        if (s.error_calls.count(call) != 0) {
            ++s.errors;
            s.fault_position = s.position;
            return {0, s.error_number};
        }
        std::uint64_t end = s.bytes.size();
        if (s.error_at) {
            if (s.position >= *s.error_at) {
                ++s.errors;
                s.fault_position = s.position;
                if (!s.error_persistent) {
                    s.error_at.reset();
                }
                return {0, s.error_number};
            }
            // A read stops short of the failing offset, as a disk read stops
            // at a bad sector: the next read meets the error.
            end = std::min(end, *s.error_at);
        }
        const std::size_t count = first_count + second_count;
        if (s.position >= end || count == 0) {
            return {0, 0};
        }
        const std::size_t n = static_cast<std::size_t>(
            std::min<std::uint64_t>({count, s.max_per_read, end - s.position}));
        const std::size_t in_first = std::min(n, first_count);
        std::memcpy(first, s.bytes.data() + s.position, in_first);
        if (n > in_first && second != nullptr) {  // a plain read has no second piece
            std::memcpy(second, s.bytes.data() + s.position + in_first, n - in_first);
        }
        s.position += n;
        s.bytes_read += n;
        s.furthest_position = std::max(s.furthest_position, s.position);
        return {n, 0};
    }

    void drop() noexcept {
        if (script_) {
            --script_->open_handles;
            script_.reset();
        }
    }

    std::shared_ptr<FileScript> script_;
};

static_assert(pelvar::RawFile<ScriptedFile>);

using Buffered = pelvar::BufferedReader<ScriptedFile>;
static_assert(pelvar::ByteSource<Buffered>);

inline std::shared_ptr<FileScript> make_script(Bytes bytes = {}) {
    auto script = std::make_shared<FileScript>();
    script->bytes = std::move(bytes);
    return script;
}

inline Buffered buffered(const std::shared_ptr<FileScript>& script) { return Buffered(ScriptedFile(script)); }

// An allocator for the sample buffers that records every block it hands out.
// pelvar::Allocator is three plain function pointers, so the ledger is a
// process-wide one: one CountingAllocator may exist at a time.
class CountingAllocator {
public:
    CountingAllocator() {
        if (current_ != nullptr) {
            std::abort();
        }
        current_ = this;
    }
    CountingAllocator(const CountingAllocator&) = delete;
    CountingAllocator& operator=(const CountingAllocator&) = delete;
    ~CountingAllocator() {
        for (auto& [block, bytes] : blocks_) {
            std::free(block);
        }
        current_ = nullptr;
    }

    const pelvar::Allocator* get() const noexcept { return &functions_; }

    // Requests of more bytes than this are refused (null), as by an exhausted heap.
    void refuse_above(std::size_t bytes) noexcept { limit_ = bytes; }
    // Requests that would take the live bytes past this are refused, as by a
    // limit on the address space.
    void refuse_past_live(std::size_t bytes) noexcept { live_limit_ = bytes; }
    // Requests for which `rule` (bytes, whether a block is grown) says
    // true are refused.
    void refuse_when(std::function<bool(std::size_t, bool)> rule) { rule_ = std::move(rule); }
    // Lifts all three limits.
    void grant_all() {
        limit_ = live_limit_ = std::numeric_limits<std::size_t>::max();
        rule_ = nullptr;
    }

    std::size_t live_bytes() const noexcept { return live_; }
    std::size_t peak_bytes() const noexcept { return peak_; }
    std::size_t largest_request() const noexcept { return largest_request_; }
    std::size_t requests() const noexcept { return requests_; }
    std::size_t refusals() const noexcept { return refusals_; }
    std::size_t live_blocks() const noexcept { return blocks_.size(); }
    // Bytes of one live block; 0 for a pointer this allocator did not hand out.
    std::size_t block_bytes(const void* block) const {
        auto it = blocks_.find(const_cast<void*>(block));
        return it == blocks_.end() ? 0 : it->second;
    }

private:
    static void* allocate(std::size_t bytes) { return current_->grant(nullptr, bytes); }
    static void* reallocate(void* block, std::size_t bytes) { return current_->grant(block, bytes); }
    static void release(void* block) { current_->give_back(block); }

    void* grant(void* old, std::size_t bytes) {
        ++requests_;
        largest_request_ = std::max(largest_request_, bytes);
        std::size_t old_bytes = 0;
        // Found before realloc: the old pointer is not looked at after it.
        auto old_entry = blocks_.end();
        if (old != nullptr) {
            old_entry = blocks_.find(old);
            if (old_entry == blocks_.end()) {
                std::abort();  // reallocation of a block this allocator does not own
            }
            old_bytes = old_entry->second;
        }
        if (bytes > limit_ || live_ - old_bytes > live_limit_ || bytes > live_limit_ - (live_ - old_bytes) ||
            (rule_ && rule_(bytes, old != nullptr))) {
            ++refusals_;
            return nullptr;
        }
        void* block = std::realloc(old, bytes == 0 ? 1 : bytes);
        if (block == nullptr) {
            return nullptr;
        }
        if (old_entry != blocks_.end()) {
            blocks_.erase(old_entry);
        }
        blocks_[block] = bytes;
        live_ = live_ - old_bytes + bytes;
        peak_ = std::max(peak_, live_);
        return block;
    }

    void give_back(void* block) {
        auto it = blocks_.find(block);
        if (it == blocks_.end()) {
            std::abort();  // a release of a block this allocator does not own, or a second one
        }
        live_ -= it->second;
        blocks_.erase(it);
        std::free(block);
    }

    static inline CountingAllocator* current_ = nullptr;
    static constexpr pelvar::Allocator functions_{&allocate, &reallocate, &release};

    std::map<void*, std::size_t> blocks_;
    std::size_t limit_ = std::numeric_limits<std::size_t>::max();
    std::size_t live_limit_ = std::numeric_limits<std::size_t>::max();
    std::function<bool(std::size_t, bool)> rule_;
    std::size_t live_ = 0;
    std::size_t peak_ = 0;
    std::size_t largest_request_ = 0;
    std::size_t requests_ = 0;
    std::size_t refusals_ = 0;
};

// Little-endian writers for building test files.
inline void put_u16(Bytes& out, std::uint16_t v) {
    for (int i = 0; i < 2; ++i) out.push_back(static_cast<std::byte>(v >> (8 * i)));
}
inline void put_u32(Bytes& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::byte>(v >> (8 * i)));
}
inline void put_u64(Bytes& out, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<std::byte>(v >> (8 * i)));
}
inline void put_i32(Bytes& out, std::int32_t v) { put_u32(out, static_cast<std::uint32_t>(v)); }

// Bytes 0, 1, 2, ... with a period that is not a power of two, so shifted
// slices never compare equal by accident.
inline Bytes pattern_bytes(std::size_t n) {
    Bytes out(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::byte>((i * 7 + i / 251) % 251);
    return out;
}

inline Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

}  // namespace pelvar_test
