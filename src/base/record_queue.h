// RecordQueue: a first-in first-out queue of received records of any kind.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace kiv {

// The owner's lock guards every push, pop and front access. size() may be
// read without it, so the count is kept atomically. bytes() is what the
// queued records hold, for a bound on what a script has not taken. An empty
// queue holds no memory: an idle connection costs nothing here.
template <typename E>
class RecordQueue {
public:
    RecordQueue() = default;
    ~RecordQueue() { clear(); }
    RecordQueue(const RecordQueue&) = delete;
    RecordQueue& operator=(const RecordQueue&) = delete;

    uint32_t size() const { return count_.load(std::memory_order_acquire); }
    bool empty() const { return size() == 0; }

    // Front access and pop on an empty queue are caller errors; they are
    // guarded anyway so that a mistake cannot read freed memory.
    const E* front() const { return head_ ? &head_->item : nullptr; }

    size_t bytes() const { return bytes_; }

    void pop() {
        if (!head_) return;
        Node* n = head_;
        head_ = n->next;
        if (!head_) tail_ = nullptr;
        bytes_ -= n->cost;
        delete n;
        count_.fetch_sub(1, std::memory_order_release);
    }

    // A loop, not a chain of destructors: a long queue must not exhaust the stack.
    void clear() {
        while (head_) pop();
        pending_.reset();
    }

    // Builds the record aside and queues it only once it is whole, so that
    // a record that finds no memory leaves the queue as it was.
    E& push_new() {
        pending_.reset(new Node);
        return pending_->item;
    }
    void commit_push(size_t cost) {
        Node* n = pending_.release();
        // The record's own bytes, its fields and the heap's bookkeeping.
        n->cost = cost + sizeof(Node) + 64;
        if (tail_) {
            tail_->next = n;
        } else {
            head_ = n;
        }
        tail_ = n;
        bytes_ += n->cost;
        count_.fetch_add(1, std::memory_order_release);
    }

private:
    struct Node {
        E item{};
        size_t cost = 0;
        Node* next = nullptr;
    };
    Node* head_ = nullptr;
    Node* tail_ = nullptr;
    std::unique_ptr<Node> pending_;
    size_t bytes_ = 0;
    std::atomic<uint32_t> count_{0};
};

}  // namespace kiv
