// Hub: one thread that waits on a listening socket and many links at once
// (a server and its players) and runs a pass whenever something is ready.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "net/link.h"
#include "net/mutex.h"
#include "net/wake.h"

namespace kiv::net {

class HubHandler {
public:
    virtual ~HubHandler() = default;
    // Runs with the hub's mutex held after every wake, with what the wait
    // found: events tagged as the handler asked in Hub::watch, the listener
    // as Hub::kListenerTag. Returns how long the next wait may last: 0 for
    // at once (it stopped at a bound with more to do), -1 for as long as
    // nothing happens, or a deadline of its own in milliseconds.
    virtual int pass(const platform::PollEvent* events, size_t n) = 0;
    // After each pass, without the mutex: wakes the host's waits.
    virtual void on_event() {}
};

class Hub {
public:
    static constexpr uint32_t kListenerTag = 0;

    Hub(Mutex& mutex, HubHandler& handler, platform::socket_t listener);
    // A hub listening on port (every interface) with the given backlog; null
    // when the port cannot be listened on (the system's reason:
    // platform::last_error_text()).
    static std::unique_ptr<Hub> listen(Mutex& mutex, HubHandler& handler, uint16_t port, int backlog);
    ~Hub();
    Hub(const Hub&) = delete;
    Hub& operator=(const Hub&) = delete;

    // Starts the thread that waits on the listener and the watched links.
    bool start();
    // Stops and joins the thread (never from the thread itself).
    void stop();
    Wake& wake() { return wake_; }
    platform::socket_t listener() const { return listener_.load(); }
    uint16_t local_port();
    // A client waiting to be accepted, or invalid_socket.
    platform::socket_t accept();
    // Turns a client away: the farewell goes out if the socket takes it at
    // once, then the socket closes.
    void refuse(platform::socket_t s, const void* farewell, size_t n);
    void close_listener();

    // With the mutex held: keeps the wait's entry for l in step with what l
    // wants now (a system call only when that changed); its events carry tag.
    void watch(Link& l, uint32_t tag);
    // With the mutex held, before l's socket closes.
    void forget(Link& l);

private:
    void run();

    Mutex& mutex_;
    HubHandler& handler_;
    std::atomic<platform::socket_t> listener_;
    Wake wake_;
    platform::Poller* poller_ = nullptr;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::vector<platform::PollEvent> events_;
};

}  // namespace kiv::net
