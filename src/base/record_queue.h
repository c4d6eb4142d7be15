// RecordQueue: first-in first-out queue of received records, and its three element records.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>

#include "base/byte_string.h"

namespace kiv {

// Most bytes of received records a connection keeps for a script that has
// not taken them; past it a stream stops reading (TCP slows the sender) and
// a datagram endpoint or a server's own queue drops.
constexpr size_t kQueueBound = 8u * 1024 * 1024;

struct TokenRecord {
    ByteString text;
    ByteString delimiter;  // the connection's delimiter when the token was queued
    ByteString address;    // sender's dotted address on datagram connections, else empty
};

struct MessageRecord {
    ByteString value;
    int16_t player = 0;
    uint8_t id = 0;
    ByteString delimiter;
};

struct DataChange {
    ByteString text;  // empty for an integer change
    int32_t number = 0;
    uint8_t digits[3] = {0, 0, 0};  // an integer's digits as they arrived (number is what they read as)
    uint8_t is_string = 0;
    int32_t slot = 0;
};

// The owner's mutex guards every push, pop and front access. size() may be
// read without it, so the count is kept atomically. bytes() is what the
// queued records hold, for the bound on what a script has not taken.
template <typename E>
class RecordQueue {
public:
    RecordQueue() = default;
    RecordQueue(const RecordQueue&) = delete;
    RecordQueue& operator=(const RecordQueue&) = delete;

    uint32_t size() const { return count_.load(std::memory_order_acquire); }
    bool empty() const { return size() == 0; }

    // Front access and pop on an empty queue are caller errors; they are
    // guarded anyway so that a mistake cannot read freed memory.
    const E* front() const { return items_.empty() ? nullptr : items_.front().get(); }

    size_t bytes() const { return bytes_; }

    void pop() {
        if (items_.empty()) return;
        bytes_ -= costs_.front();
        items_.pop_front();
        costs_.pop_front();
        count_.store(static_cast<uint32_t>(items_.size()), std::memory_order_release);
    }

    void clear() {
        items_.clear();
        costs_.clear();
        bytes_ = 0;
        count_.store(0, std::memory_order_release);
    }

    // Builds the record aside and queues it only once it is whole, so that
    // a record that finds no memory leaves the queue as it was.
    E& push_new() {
        pending_ = std::make_unique<E>();
        return *pending_;
    }
    void commit_push(size_t cost) {
        // The record's own bytes, its fields and the heap's bookkeeping.
        costs_.push_back(cost + sizeof(E) + 64);
        items_.push_back(std::move(pending_));
        bytes_ += costs_.back();
        count_.store(static_cast<uint32_t>(items_.size()), std::memory_order_release);
    }

private:
    std::deque<std::unique_ptr<E>> items_;
    std::deque<size_t> costs_;
    std::unique_ptr<E> pending_;
    size_t bytes_ = 0;
    std::atomic<uint32_t> count_{0};
};

// The push forms of the three queues.
void push_token(RecordQueue<TokenRecord>& q, const void* bytes, uint32_t n, const char* delimiter,
                const char* address);
void push_message(RecordQueue<MessageRecord>& q, const void* bytes, uint32_t n, uint8_t id, int16_t player,
                  const char* delimiter);
void push_change(RecordQueue<DataChange>& q, int32_t slot, const void* text, uint32_t n);
void push_change(RecordQueue<DataChange>& q, int32_t slot, int32_t value, const uint8_t digits[3]);

}  // namespace kiv
