// kiv-relay core: handshake, line framing, sessions, fan-out and every bound, without sockets.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace kiv::relay {

using Clock = std::chrono::steady_clock;
using Time = Clock::time_point;
using ClientId = std::uint64_t;
// One batch of complete lines, shared by every recipient's queue.
using Chunk = std::shared_ptr<const std::string>;

struct Limits {
    std::size_t max_line = 1024 * 1024;         // bytes of one line, without "\n"
    std::size_t max_pending = 8 * 1024 * 1024;  // bytes waiting towards one client; past it the client is dropped
    // A recipient with more than high_water bytes waiting pauses the reading of its whole
    // session; reading resumes once it is back under low_water.
    std::size_t high_water = 1024 * 1024;
    std::size_t low_water = 256 * 1024;
    // Waiting bytes and unfinished lines of all clients together; past it the largest holders go.
    std::size_t memory_budget = std::size_t(512) * 1024 * 1024;
    std::chrono::milliseconds handshake_timeout{10000}; // from connect to naming a session
    std::chrono::milliseconds goodbye_linger{5000};     // flushing time after a goodbye
    std::chrono::milliseconds stall_timeout{30000};     // bytes waiting and none taken for this long
    std::chrono::milliseconds line_timeout{30000};      // an unfinished line held for this long while read
};

// What the core asks of the network side. Calls change nothing in the core; want_write
// may read output() at once.
class Shell {
public:
    virtual ~Shell() = default;
    // Bytes now wait in the client's queue (see Core::output).
    virtual void want_write(ClientId id) = 0;
    // The client may be read again after a pause (see Core::readable).
    virtual void want_read(ClientId id) = 0;
    // The core has forgotten the client; close its socket (reset: drop unsent bytes too).
    virtual void close(ClientId id, bool reset) = 0;
    virtual void log(const std::string& line) = 0;
};

// Sessions shared with other relay instances. Calls never re-enter the core.
class ClusterLink {
public:
    virtual ~ClusterLink() = default;
    // A client joined `session`, which now has `local` members here, itself included.
    // True: the link counts the members elsewhere and passes them to Core::joined later;
    // false: it cannot now, and the client is answered with the local count alone.
    virtual bool joining(ClientId id, const std::string& session, std::size_t local) = 0;
    // A member left: `local` members are left here (0: the session is gone here).
    virtual void members_changed(const std::string& session, std::size_t local) = 0;
    // Complete lines a local member sent to the session.
    virtual void publish(const std::string& session, const Chunk& lines) = 0;
};

struct Stats {
    std::size_t clients = 0;
    std::size_t sessions = 0;
    std::size_t held = 0;       // bytes of the batches waiting towards clients (each once) plus unfinished lines
    std::size_t peak_held = 0;
    std::size_t peak_queue = 0; // most bytes ever waiting towards one client
    std::size_t paused_sessions = 0;
    std::uint64_t dropped_full = 0;     // queue past max_pending
    std::uint64_t dropped_stalled = 0;  // took no bytes for stall_timeout
    std::uint64_t dropped_line = 0;     // unfinished line past line_timeout
    std::uint64_t dropped_budget = 0;   // shed for the memory budget
};

class Core {
public:
    Core(const Limits& limits, Shell& shell);
    ~Core();
    Core(const Core&) = delete;
    Core& operator=(const Core&) = delete;

    void set_cluster(ClusterLink* link) { cluster_ = link; }

    // A new client (ids are the caller's, never reused); queues the greeting.
    void open(ClientId id, std::string address, std::string peer, Time now);
    // Bytes read from the client.
    void input(ClientId id, const char* data, std::size_t size, Time now);
    // Whether the network side should read from the client now.
    bool readable(ClientId id) const;
    // The peer closed or the socket failed.
    void ended(ClientId id, const std::string& reason, Time now);
    // The client's waiting bytes: its queue, the first `offset` bytes of whose front are sent.
    const std::deque<Chunk>* output(ClientId id, std::size_t* offset) const;
    // `size` bytes of the output were taken by the socket.
    void wrote(ClientId id, std::size_t size, Time now);
    // Time limits; call at least every tick_interval().
    void tick(Time now);
    std::chrono::milliseconds tick_interval() const;
    // The members elsewhere of the session a client is joining (see ClusterLink::joining):
    // the client is answered, and only from then on reads and receives lines.
    void joined(ClientId id, std::size_t remote, Time now);
    // Lines from a member of `session` on another instance.
    void deliver(const std::string& session, const Chunk& lines, Time now);
    // Pauses reading every member (the link to other instances is behind).
    void set_paused(bool paused);
    // Drops every client.
    void shutdown();
    Stats stats() const;

private:
    struct Client;
    struct Session;
    enum class Close { flush, now, reset };

    Client* find(ClientId id) const;
    void handshake_line(Client& c, const std::string& line);
    void consume_member(Client& c, const char* p, std::size_t n);
    void keep_partial(Client& c, const char* p, std::size_t n);
    void release_partial(Client& c);
    void join(Client& c, const std::string& name);
    void leave(Client& c);
    void forward(Client& sender, std::string&& lines);
    void fan_out(Session& s, const Client* sender, const Chunk& chunk);
    void send(Client& c, std::string text);
    bool enqueue(Client& c, const Chunk& chunk);
    void set_behind(Client& c, bool behind);
    void resume(Session& s);
    void close(Client& c, Close how, const std::string& reason);
    void hold(const Chunk& chunk);
    void release(const Chunk& chunk);
    void add_held(std::ptrdiff_t delta);
    void settle();

    Limits limits_;
    Shell& shell_;
    ClusterLink* cluster_ = nullptr;
    Time now_{};
    bool paused_ = false;
    std::unordered_map<ClientId, std::unique_ptr<Client>> clients_;
    std::unordered_map<std::string, Session> sessions_;
    // Closed clients live until the current call returns, so no pointer dangles mid-call.
    std::vector<std::unique_ptr<Client>> closed_;
    std::vector<Client*> overflowed_; // scratch for fan_out()
    std::unordered_map<const std::string*, std::size_t> chunk_refs_; // queues holding each batch
    Stats stats_;
};

} // namespace kiv::relay
