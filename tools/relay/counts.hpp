// kiv-relay cluster counts: every instance's members per session, in a JetStream key-value bucket.
#pragma once

#include "core.hpp"

#include <nats/nats.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace kiv::relay {

// Two buckets, in the NATS server's memory (counts are rebuilt whenever they are lost):
//   kiv-NAME-sessions   key s.<hash of the name>: each instance's member count, as
//                       (instance, count) pairs; changed only by compare-and-set, so two
//                       joins anywhere are told two different counts
//   kiv-NAME-instances  key i.<instance>: written every heartbeat, expiring after 3.5 of
//                       them; pairs of an instance without its key do not count, and
//                       whoever writes their session next drops them
// A session key nobody rewrites (its instances died) expires after kSessionTtl; each
// instance rewrites its own sessions well within that.
//
// Everything that waits on the server runs on this class's thread, never on the loop.
class Counts {
public:
    // Called on the thread: the answer to join(), and the buckets being ready.
    using Answer = std::function<void(ClientId id, std::size_t remote)>;
    using Ready = std::function<void()>;

    Counts(natsConnection* nc, std::string cluster, std::chrono::milliseconds heartbeat, std::uint64_t self,
           Answer answer, Ready ready);
    ~Counts();
    Counts(const Counts&) = delete;
    Counts& operator=(const Counts&) = delete;

    // Sets the buckets up at once when connected (so that the first joins count right), then
    // starts the thread.
    void start();
    // A client joined `session`, which has `local` members here now: answer(id, remote) follows,
    // with 0 when the server cannot be asked.
    void join(ClientId id, const std::string& session, std::size_t local);
    // The session has `local` members here now.
    void set(const std::string& session, std::size_t local);
    // The connection to the server came back: set the buckets up again and rewrite every count.
    void reconnected();
    // Runs `f` on the thread once a round trip to the server has passed after this call.
    void after_round_trip(std::function<void()> f);
    // Writes what is pending for at most `grace`, removes this instance's key, ends the thread.
    void stop(std::chrono::milliseconds grace);

    static std::string session_key(const std::string& session);

private:
    struct Op {
        ClientId id = 0; // 0: a change without a client waiting
        std::string session;
        std::size_t local = 0;
    };
    enum class Write { ok, conflict, failed };

    void run();
    void step(std::deque<Op>& ops, bool setup, Time now);
    bool setup();
    bool bucket(kvStore** kv, const std::string& name, std::chrono::milliseconds ttl);
    void apply(const Op& op);
    void write_dirty(Time deadline);
    bool write(const std::string& session, std::size_t own, std::size_t* remote);
    Write write_once(const std::string& key, std::size_t own, std::size_t* remote);
    bool alive(std::uint64_t id);
    void beat(Time now);
    void run_deferred();
    void farewell(std::chrono::milliseconds grace);

    natsConnection* nc_;
    std::string cluster_;
    std::chrono::milliseconds heartbeat_;
    std::uint64_t self_;
    Answer answer_;
    Ready ready_cb_;

    std::mutex m_;
    std::condition_variable cv_;
    std::deque<Op> ops_;
    std::vector<std::function<void()>> deferred_;
    bool setup_due_ = true;
    bool stop_ = false;
    std::thread thread_;

    // The thread's own.
    jsCtx* js_ = nullptr;
    kvStore* sessions_ = nullptr;
    kvStore* instances_ = nullptr;
    bool ready_ = false;
    bool setup_failed_ = false; // and said so
    std::unordered_map<std::string, std::size_t> local_; // session -> members here
    std::unordered_map<std::string, Time> written_;       // session -> when its pair was last written
    std::unordered_set<std::string> dirty_;                // sessions whose pair may differ from local_
    std::unordered_map<std::uint64_t, std::pair<bool, Time>> liveness_; // instance -> alive, when checked
};

} // namespace kiv::relay
