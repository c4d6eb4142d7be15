// Hub: the server's thread, waiting on every socket of the server at once.
#include "net/hub.h"

#include <new>

#include "net/threads.h"

namespace kiv::net {

Hub::Hub(std::mutex& mutex, HubHandler& handler, platform::socket_t listener)
    : mutex_(mutex), handler_(handler), listener_(listener) {}

Hub::~Hub() {
    stop();
    close_listener();
}

bool Hub::start() { return wake_.open() && start_thread(thread_, [this] { run(); }); }

void Hub::stop() {
    stop_.store(true);
    wake_.signal();
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

platform::socket_t Hub::accept() { return platform::accept(listener_.load()); }

void Hub::close_listener() {
    const platform::socket_t s = listener_.exchange(platform::invalid_socket);
    if (s != platform::invalid_socket) platform::close(s);
}

void Hub::mark_ready() {
    for (size_t i = 1; i < items_.size(); ++i) {
        if (items_[i].got) links_[i - 1]->ready_ = true;
    }
}

void Hub::run() {
    for (;;) {
        wake_.seen();
        if (stop_.load()) return;
        bool more = false;
        {
            std::lock_guard<std::mutex> lk(mutex_);
            // What woke the wait, and what is ready now besides: a pass
            // serves everything that arrived before it, in the handler's order.
            mark_ready();
            if (items_.size() > 1 && platform::wait(nullptr, items_.data(), items_.size(), 0) > 0) mark_ready();
            try {
                more = handler_.pass(links_);
            } catch (const std::bad_alloc&) {
                // What needed the memory is dropped; the next pass goes on.
            }
            for (Link* l : links_) l->ready_ = false;
            items_.clear();
            items_.push_back({listener_.load(), platform::kWantRead, 0});
            for (Link* l : links_) {
                l->flush();
                items_.push_back({l->socket(), l->wants(), 0});
            }
        }
        handler_.on_event();
        if (platform::wait(wake_.handle(), items_.data(), items_.size(), more ? 0 : -1) < 0) {
            // No wait is possible any more: the server stops taking traffic
            // rather than spin; teardown still ends it normally.
            return;
        }
    }
}

}  // namespace kiv::net
