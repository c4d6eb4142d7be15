// Hub: the server's thread, waiting on every socket of the server at once.
#include "net/hub.h"

#include <new>

#include "net/threads.h"

namespace kiv::net {

namespace {
// Events taken from one wait; more that are ready are taken by the next.
constexpr size_t kEventsPerWait = 512;
}  // namespace

Hub::Hub(Mutex& mutex, HubHandler& handler, platform::socket_t listener)
    : mutex_(mutex), handler_(handler), listener_(listener) {}

std::unique_ptr<Hub> Hub::listen(Mutex& mutex, HubHandler& handler, uint16_t port, int backlog) {
    const platform::socket_t s = platform::open_stream();
    if (s == platform::invalid_socket) return nullptr;
    std::unique_ptr<Hub> hub(new Hub(mutex, handler, s));
    if (!platform::set_nonblocking(s) || !platform::bind(s, 0, port) || !platform::listen(s, backlog)) return nullptr;
    return hub;
}

Hub::~Hub() {
    stop();
    close_listener();
    platform::poller_close(poller_);
}

bool Hub::start() {
    if (!wake_.open()) return false;
    poller_ = platform::poller_open(wake_.handle());
    if (!poller_ || !platform::poller_watch(poller_, listener_.load(), platform::kWantRead, kListenerTag)) {
        return false;
    }
    events_.resize(kEventsPerWait);
    return start_thread(thread_, [this] { run(); });
}

void Hub::stop() {
    stop_.store(true);
    wake_.signal();
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

uint16_t Hub::local_port() {
    uint16_t port = 0;
    const platform::socket_t s = listener_.load();
    return s != platform::invalid_socket && platform::local_port(s, &port) ? port : 0;
}

platform::socket_t Hub::accept() { return platform::accept(listener_.load()); }

void Hub::refuse(platform::socket_t s, const void* farewell, size_t n) {
    platform::send(s, farewell, n, false);
    platform::close(s);
}

void Hub::close_listener() {
    const platform::socket_t s = listener_.exchange(platform::invalid_socket);
    if (s != platform::invalid_socket) platform::close(s);
}

void Hub::watch(Link& l, uint32_t tag) {
    mutex_.assert_held();
    const uint8_t want = l.open() ? l.wants() : 0;
    if (want == l.watched_ || !poller_) return;
    if (platform::poller_watch(poller_, l.socket(), want, tag)) l.watched_ = want;
}

void Hub::forget(Link& l) {
    mutex_.assert_held();
    if (l.watched_ && poller_ && l.open()) platform::poller_watch(poller_, l.socket(), 0, 0);
    l.watched_ = 0;
}

void Hub::run() {
    size_t n = 0;
    for (;;) {
        wake_.seen();
        if (stop_.load()) return;
        int timeout_ms = -1;
        {
            UniqueLock lk(mutex_, std::try_to_lock);
            if (!lk.owns_lock()) {
                // A host call held the server meanwhile: what became ready
                // while this thread waited for it joins this pass, so that
                // a pass serves everything that arrived before it.
                lk.lock();
                const int more = platform::poller_wait(poller_, events_.data() + n, events_.size() - n, 0);
                if (more > 0) n += static_cast<size_t>(more);
            }
            try {
                timeout_ms = handler_.pass(events_.data(), n);
            } catch (const std::bad_alloc&) {
                // What needed the memory is dropped; the next pass goes on.
            }
        }
        handler_.on_event();
        const int r = platform::poller_wait(poller_, events_.data(), events_.size(), timeout_ms);
        if (r < 0) {
            // No wait is possible any more: the server stops taking traffic
            // rather than spin; teardown still ends it normally.
            return;
        }
        n = static_cast<size_t>(r);
    }
}

}  // namespace kiv::net
