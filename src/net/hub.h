// Hub: one thread that waits on a listening socket and many links at once
// (a server and its players) and runs a pass whenever something is ready.
#pragma once

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "net/link.h"
#include "net/wake.h"

namespace kiv::net {

class HubHandler {
public:
    virtual ~HubHandler() = default;
    // Runs with the hub's mutex held after every wake: admits, reads, relays.
    // Fills `links` with the links to wait on until the next pass. True
    // when it stopped at a bound with more to do: the next pass follows at
    // once.
    virtual bool pass(std::vector<Link*>& links) = 0;
    // After each pass, without the mutex: wakes the host's waits.
    virtual void on_event() {}
};

class Hub {
public:
    Hub(std::mutex& mutex, HubHandler& handler, platform::socket_t listener);
    ~Hub();
    Hub(const Hub&) = delete;
    Hub& operator=(const Hub&) = delete;

    bool start();
    // Stops and joins the thread (never from the thread itself).
    void stop();
    Wake& wake() { return wake_; }
    platform::socket_t listener() const { return listener_.load(); }
    // A client waiting to be accepted, or invalid_socket.
    platform::socket_t accept();
    void close_listener();
    // True for a link the last wait found ready (read, write or an error).
    static bool ready(const Link& l) { return l.ready_; }
    // What the wait found, for a test or fuzz target that runs passes itself.
    static void set_ready(Link& l, bool ready) { l.ready_ = ready; }

private:
    void run();
    // Marks the links whose item the last wait found ready.
    void mark_ready();

    std::mutex& mutex_;
    HubHandler& handler_;
    std::atomic<platform::socket_t> listener_;
    Wake wake_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::vector<Link*> links_;
    std::vector<platform::WaitItem> items_;
};

}  // namespace kiv::net
