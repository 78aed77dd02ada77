// What a BatchReader reads with, shared with the Arrow streams made of it:
// the file's batcher, the borrow that keeps two readers of it apart, and
// who reads it. Python-free: a stream may drop the last reference on any
// thread, which closes the file and gives the columns back.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <utility>
#include <variant>

#include "borrow_flag.hpp"
#include "event_batch.hpp"
#include "file_reader.hpp"

namespace pelvar {

// `Batchers`: a std::variant of the batchers that a core may hold (the
// module's over files, the tests' over in-memory sources).
template <class Batchers>
class BasicBatchCore {
public:
    // Who reads the batches: nobody yet, the reader's own iteration, or one
    // Arrow stream (numbered from 2). The first to read keeps the reader: a
    // file is read once, so a second consumer would see only what is left.
    static constexpr int nobody = 0;
    static constexpr int iteration = 1;

    explicit BasicBatchCore(Batchers batcher) noexcept : batcher_(std::move(batcher)), opened_(true) {}
    // A core whose file is opened later, by whoever first reads it (a
    // reader made to be read elsewhere holds no descriptor until then).
    BasicBatchCore() noexcept = default;

    // Once opened.
    Batchers& batcher() noexcept { return *batcher_; }
    BorrowFlag& borrow() noexcept { return borrow_; }

    bool opened() const noexcept { return opened_.load(std::memory_order_acquire); }
    // With the exclusive borrow held, once.
    void open(Batchers&& batcher) noexcept {
        batcher_.emplace(std::move(batcher));
        opened_.store(true, std::memory_order_release);
    }

    // True if `who` reads the batches, claiming them if nobody does yet.
    bool claim(int who) noexcept {
        int expected = nobody;
        return reader_.compare_exchange_strong(expected, who, std::memory_order_acq_rel) || expected == who;
    }
    bool unread() const noexcept { return reader_.load(std::memory_order_acquire) == nobody; }

    // A number for a new stream.
    static int next_stream() noexcept {
        static std::atomic<int> streams{iteration};
        return streams.fetch_add(1, std::memory_order_relaxed) + 1;
    }

private:
    std::optional<Batchers> batcher_;
    std::atomic<bool> opened_{false};
    BorrowFlag borrow_{0};
    std::atomic<int> reader_{nobody};
};

using FileBatcher = std::variant<EventBatcher<WD1Reader<FileSource>, WD1Columns, std::uint16_t>,
                                 EventBatcher<WD2Reader<FileSource>, WD2Columns, float>>;
using BatchCore = BasicBatchCore<FileBatcher>;

}  // namespace pelvar
