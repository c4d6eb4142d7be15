// kiv-relay cluster link: lines travel between instances over NATS, counts in its key-value store.
//
// Lines a member sends go to the subject kiv.<cluster-name>.lines.<hash of the session>:
// the instance id, the session name, the lines. An instance subscribes to a session's
// subject when its first member there joins and drains the subscription when its last
// leaves, so it receives the lines of the sessions it serves and no others. The
// subscription is made before the join's count is asked for on the same connection, so
// by the time a member is answered the server routes the session's lines here. Names
// travel in the payload (the subject only carries a hash), so any bytes are safe.
// Member counts: see counts.hpp.
#include "cluster.hpp"
#include "wire.hpp"

namespace kiv::relay {

std::string session_subject_token(const std::string& session) { return wire::hex(wire::fnv1a(session)); }

} // namespace kiv::relay

#ifndef KIV_RELAY_HAVE_NATS

namespace kiv::relay {

std::unique_ptr<Cluster> join_cluster(asio::io_context&, Server&, const ClusterOptions&, std::string* error) {
    *error = "this kiv-relay was built without the NATS client library (Debian: libnats-dev), "
             "so it cannot join a cluster";
    return nullptr;
}

} // namespace kiv::relay

#else

#include "counts.hpp"

#include <nats/nats.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <random>
#include <thread>
#include <unordered_map>
#include <vector>

namespace kiv::relay {

namespace {

// Messages travel in fragments of at most this much (NATS servers take 1 MiB by default).
constexpr std::size_t kFragment = 256 * 1024;
// A message never needs more: a line and a session name of 1 MiB each, and the batch
// a read adds; a longer one is dropped while being put together.
constexpr std::size_t kMaxMessage = 4 * 1024 * 1024;
using wire::put_u32;
using wire::put_u64;
using wire::Reader;

class NatsCluster final : public Cluster, private ClusterLink {
public:
    NatsCluster(asio::io_context& io, Server& server, const ClusterOptions& options)
        : io_(io), core_(server.core()), options_(options), prefix_("kiv." + options.name + ".") {
        std::random_device rd;
        self_ = (static_cast<std::uint64_t>(rd()) << 32) ^ rd() ^
                static_cast<std::uint64_t>(Clock::now().time_since_epoch().count());
    }

    ~NatsCluster() override { stop(); }

    bool start(std::string* error) {
        natsStatus s = configure();
        if (s != NATS_OK) {
            *error = std::string("cannot set up the NATS client: ") + natsStatus_GetText(s);
            return false;
        }
        s = natsConnection_Connect(&nc_, nopts_);
        bool pending = s == NATS_NOT_YET_CONNECTED;
        if (s != NATS_OK && !pending) {
            *error = "cannot use NATS server " + options_.url + ": " + natsStatus_GetText(s);
            return false;
        }
        counts_ = std::make_unique<Counts>(
            nc_, options_.name, options_.heartbeat, self_,
            [this](ClientId id, std::size_t remote) {
                asio::post(io_, [this, id, remote] {
                    if (!stopped_)
                        core_.joined(id, remote, Clock::now());
                });
            },
            [this] { asio::post(io_, [this] { report(true); }); });
        counts_->start();
        publisher_ = std::thread([this] { publish_loop(); });
        core_.set_cluster(this);
        if (pending)
            report(false);
        return true;
    }

    void stop() override {
        if (stopped_)
            return;
        stopped_ = true;
        core_.set_cluster(nullptr);
        // The members' leaving, queued as the server let them go, is written first.
        if (counts_)
            counts_->stop(std::chrono::seconds(2));
        if (publisher_.joinable()) {
            {
                std::lock_guard<std::mutex> lock(out_m_);
                out_stop_ = true;
            }
            out_cv_.notify_all();
            publisher_.join();
        }
        {
            std::lock_guard<std::mutex> lock(in_m_);
            in_stop_ = true;
        }
        in_cv_.notify_all();
        closing_ = true;
        close_link();
        release();
        if (options_.stats)
            std::fprintf(stderr, "kiv-relay: cluster stats lines_received=%llu line_bytes_received=%llu\n",
                         static_cast<unsigned long long>(received_.load()),
                         static_cast<unsigned long long>(received_bytes_.load()));
    }

private:
    // One subscription to a session subject, shared by the sessions whose names hash alike.
    struct Interest {
        NatsCluster* owner = nullptr;
        natsSubscription* sub = nullptr;
        std::size_t sessions = 0;
        std::atomic<bool> live{true};  // false once unsubscribed: what still comes is dropped
        std::atomic<bool> done{false}; // the drain is over, no callback comes any more
        bool done_seen = false;        // by the counts thread, a round trip ago
    };
    struct Inbound {
        std::string session;
        Chunk lines;
    };

    natsStatus configure() {
        natsStatus s = natsOptions_Create(&nopts_);
        if (s == NATS_OK)
            s = natsOptions_SetURL(nopts_, options_.url.c_str());
        if (s == NATS_OK)
            s = natsOptions_SetName(nopts_, "kiv-relay");
        if (s == NATS_OK)
            s = natsOptions_SetNoEcho(nopts_, true);
        // Each publish is already a batch of lines: write it at once rather than let the
        // client's flusher add a millisecond to every line between instances.
        if (s == NATS_OK)
            s = natsOptions_SetSendAsap(nopts_, true);
        // One subscription per session served: they share one delivery thread, which also
        // keeps the fragments of a message in order for on_msg.
        if (s == NATS_OK)
            s = natsOptions_UseGlobalMessageDelivery(nopts_, true);
        if (s == NATS_OK)
            s = nats_SetMessageDeliveryPoolSize(1);
        if (s == NATS_OK)
            s = natsOptions_SetMaxReconnect(nopts_, -1);
        if (s == NATS_OK)
            s = natsOptions_SetReconnectWait(nopts_, 250);
        if (s == NATS_OK)
            s = natsOptions_SetTimeout(nopts_, 2000);
        // A NATS server that stops answering is noticed within a few seconds.
        if (s == NATS_OK)
            s = natsOptions_SetPingInterval(nopts_, 1000);
        if (s == NATS_OK)
            s = natsOptions_SetMaxPingsOut(nopts_, 3);
        if (s == NATS_OK)
            s = natsOptions_SetWriteDeadline(nopts_, 2000);
        if (s == NATS_OK)
            s = natsOptions_SetReconnectBufSize(nopts_, static_cast<int>(options_.max_in_flight));
        if (s == NATS_OK)
            s = natsOptions_SetDisconnectedCB(nopts_, &NatsCluster::on_disconnected, this);
        if (s == NATS_OK)
            s = natsOptions_SetReconnectedCB(nopts_, &NatsCluster::on_reconnected, this);
        if (s == NATS_OK)
            s = natsOptions_SetErrorHandler(nopts_, &NatsCluster::on_error, this);
        if (s == NATS_OK)
            s = natsOptions_SetRetryOnFailedConnect(nopts_, true, &NatsCluster::on_reconnected, this);
        return s;
    }

    // Closing while the client's reader is inside an inbound message is what leaked or
    // crashed. The client frees neither the messages still queued in a subscription that
    // is closed rather than drained, nor the buffer of a payload it was halfway through
    // reading when its connection closes; and freeing a subscription while the reader
    // delivers into it locks freed memory. So the inflow stops first: each drain
    // unsubscribes, waits for the server's word that it took the unsubscribe and hands
    // every queued message to on_msg (which drops it now); one more round trip reads
    // what the server routed here in the instant before. Only then does the connection
    // close, its reader idle.
    void close_link() {
        if (!nc_)
            return;
        std::vector<Interest*> all;
        for (auto& kv : interest_)
            all.push_back(kv.second.get());
        {
            std::lock_guard<std::mutex> lock(retired_m_);
            for (auto& in : retired_)
                all.push_back(in.get());
        }
        natsStatus s = NATS_OK;
        for (Interest* in : all)
            if (in->sub && in->live)
                drain(*in);
        auto deadline = Clock::now() + std::chrono::seconds(10);
        for (Interest* in : all) {
            natsStatus w = in->sub ? natsSubscription_WaitForDrainCompletion(in->sub, std::max(1LL, ms_until(deadline)))
                                   : NATS_OK;
            // A subscription the drain refused was unsubscribed instead.
            if (w != NATS_OK && w != NATS_INVALID_SUBSCRIPTION && w != NATS_ILLEGAL_STATE && s == NATS_OK)
                s = w;
        }
        if (s == NATS_OK)
            s = natsConnection_FlushTimeout(nc_, 2000);
        // Not connected is fine: then nothing is coming in.
        if (s != NATS_OK && s != NATS_CONNECTION_CLOSED && s != NATS_CONNECTION_DISCONNECTED)
            std::fprintf(stderr, "kiv-relay: cluster: stopping the inflow from NATS failed: %s\n",
                         natsStatus_GetText(s));
        natsConnection_Close(nc_);
    }

    // Stops a subscription's inflow; a drain hands on_msg what is queued (and on_msg drops
    // it). A drain is refused while the server is away: then it is unsubscribed at once.
    static void drain(Interest& in) {
        in.live = false;
        if (natsSubscription_Drain(in.sub) != NATS_OK)
            natsSubscription_Unsubscribe(in.sub);
    }

    static long long ms_until(Time t) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(t - Clock::now()).count();
    }

    // Frees everything once the connection is closed. The subscriptions' callbacks may
    // run until the client's threads are gone, so their closures go last.
    void release() {
        for (auto& kv : interest_)
            if (kv.second->sub)
                natsSubscription_Destroy(kv.second->sub);
        {
            std::lock_guard<std::mutex> lock(retired_m_);
            for (auto& in : retired_)
                if (in->sub)
                    natsSubscription_Destroy(in->sub);
        }
        counts_.reset();
        if (nc_)
            natsConnection_Destroy(nc_);
        nc_ = nullptr;
        if (nopts_)
            natsOptions_Destroy(nopts_);
        nopts_ = nullptr;
        natsStatus s = nats_CloseAndWait(2000);
        if (s != NATS_OK)
            std::fprintf(stderr, "kiv-relay: cluster: the NATS client did not wind down: %s\n", natsStatus_GetText(s));
        interest_.clear();
        std::lock_guard<std::mutex> lock(retired_m_);
        retired_.clear();
    }

    // ---- ClusterLink: called by the core on the loop ----

    bool joining(ClientId id, const std::string& session, std::size_t local) override {
        if (local == 1)
            subscribe(session);
        counts_->join(id, session, local);
        return true;
    }

    void members_changed(const std::string& session, std::size_t local) override {
        counts_->set(session, local);
        if (local == 0)
            unsubscribe(session);
    }

    void publish(const std::string& session, const Chunk& lines) override {
        std::string p;
        p.reserve(4 + session.size() + lines->size());
        put_u32(p, static_cast<std::uint32_t>(session.size()));
        p += session;
        p += *lines;
        push(prefix_ + "lines." + session_subject_token(session), std::move(p));
    }

    // ---- interest: the loop's ----

    void subscribe(const std::string& session) {
        std::string token = session_subject_token(session);
        auto& in = interest_[token];
        if (!in) {
            in = std::make_unique<Interest>();
            in->owner = this;
            std::string subject = prefix_ + "lines." + token;
            natsStatus s = natsConnection_Subscribe(&in->sub, nc_, subject.c_str(), &NatsCluster::on_msg, in.get());
            if (s == NATS_OK)
                s = natsSubscription_SetPendingLimits(in->sub, 1 << 20, static_cast<int>(options_.max_in_flight * 4));
            if (s == NATS_OK)
                s = natsSubscription_SetOnCompleteCB(in->sub, &NatsCluster::on_complete, in.get());
            if (s != NATS_OK)
                std::fprintf(stderr, "kiv-relay: cluster: cannot subscribe on the NATS server: %s\n",
                             natsStatus_GetText(s));
        }
        ++in->sessions;
    }

    // The last session of a subject is gone here: drain its subscription, and free it once
    // the drain is over and a round trip has passed (the reader may still be handing it a
    // message the server routed before it took the unsubscribe).
    void unsubscribe(const std::string& session) {
        auto it = interest_.find(session_subject_token(session));
        if (it == interest_.end() || --it->second->sessions > 0)
            return;
        std::unique_ptr<Interest> in = std::move(it->second);
        interest_.erase(it);
        if (in->sub)
            drain(*in);
        else
            in->done = true;
        Interest* raw = in.get();
        {
            std::lock_guard<std::mutex> lock(retired_m_);
            retired_.push_back(std::move(in));
        }
        counts_->after_round_trip([this, raw] { free_retired(raw); });
    }

    // On the counts thread, after a round trip: frees the subscription once a whole round
    // trip has passed since its drain was seen to be over, so that the reader is past any
    // message it was handing it then.
    void free_retired(Interest* in) {
        if (!in->done || !in->done_seen) {
            in->done_seen = in->done.load();
            counts_->after_round_trip([this, in] { free_retired(in); });
            return;
        }
        std::lock_guard<std::mutex> lock(retired_m_);
        for (auto it = retired_.begin(); it != retired_.end(); ++it) {
            if (it->get() == in) {
                if (in->sub)
                    natsSubscription_Destroy(in->sub);
                retired_.erase(it);
                return;
            }
        }
    }

    static void on_complete(void* closure) { static_cast<Interest*>(closure)->done = true; }

    // ---- the loop's side ----

    void take_inbound() {
        std::deque<Inbound> batch;
        {
            std::lock_guard<std::mutex> lock(in_m_);
            batch.swap(in_q_);
            in_bytes_ = 0;
            in_posted_ = false;
        }
        in_cv_.notify_all();
        if (stopped_)
            return;
        Time now = Clock::now();
        for (auto& in : batch)
            core_.deliver(in.session, in.lines, now);
    }

    void report(bool up) {
        if (stopped_)
            return;
        if (!up && !down_reported_) {
            down_reported_ = true;
            std::fprintf(stderr, "kiv-relay: cluster: no NATS server at %s; serving this instance's members only\n",
                         options_.url.c_str());
        } else if (up && !up_reported_) {
            std::fprintf(stderr, "kiv-relay: cluster: sharing sessions as '%s' through the NATS server at %s\n",
                         options_.name.c_str(), options_.url.c_str());
        } else if (up && down_reported_) {
            std::fprintf(stderr, "kiv-relay: cluster: NATS server at %s is back; sessions are shared again\n",
                         options_.url.c_str());
        }
        down_reported_ = down_reported_ && !up;
        up_reported_ = up_reported_ || up;
        std::fflush(stderr);
    }

    // ---- between threads ----

    // Queues one message for the NATS server, in fragments that fit any server's payload
    // limit (a line and a session name may each take 1 MiB); past the bound, members stop
    // being read.
    void push(std::string subject, std::string body) {
        bool pause = false;
        {
            std::lock_guard<std::mutex> lock(out_m_);
            std::size_t at = 0;
            do {
                std::size_t n = std::min(kFragment, body.size() - at);
                std::string part;
                part.reserve(9 + n);
                put_u64(part, self_);
                part.push_back(at + n < body.size() ? 1 : 0); // more fragments follow
                part.append(body, at, n);
                at += n;
                out_bytes_ += part.size();
                out_q_.emplace_back(subject, std::move(part));
            } while (at < body.size());
            if (out_bytes_ > options_.max_in_flight && !out_paused_)
                pause = out_paused_ = true;
        }
        out_cv_.notify_one();
        if (pause)
            core_.set_paused(true);
    }

    void publish_loop() {
        std::unique_lock<std::mutex> lock(out_m_);
        while (true) {
            out_cv_.wait(lock, [&] { return out_stop_ || !out_q_.empty(); });
            if (out_q_.empty())
                return;
            auto msg = std::move(out_q_.front());
            out_q_.pop_front();
            lock.unlock();
            // Fails at once while the server is away and the reconnect buffer is full:
            // those lines only had members elsewhere, which cannot be reached now.
            natsConnection_Publish(nc_, msg.first.c_str(), msg.second.data(), static_cast<int>(msg.second.size()));
            lock.lock();
            out_bytes_ -= msg.second.size();
            if (out_paused_ && out_bytes_ <= options_.max_in_flight / 4) {
                out_paused_ = false;
                asio::post(io_, [this] {
                    bool paused;
                    {
                        std::lock_guard<std::mutex> l(out_m_);
                        paused = out_paused_;
                    }
                    if (!stopped_)
                        core_.set_paused(paused);
                });
            }
        }
    }

    static void on_msg(natsConnection*, natsSubscription*, natsMsg* msg, void* closure) {
        auto* interest = static_cast<Interest*>(closure);
        NatsCluster* self = interest->owner;
        ++self->received_;
        self->received_bytes_ += static_cast<std::uint64_t>(natsMsg_GetDataLength(msg));
        Inbound in;
        bool ok = interest->live && !self->closing_ && self->take(msg, in);
        natsMsg_Destroy(msg);
        if (!ok)
            return;
        std::size_t size = in.lines->size() + in.session.size();
        std::unique_lock<std::mutex> lock(self->in_m_);
        // The loop is behind: hold the NATS client's delivery thread, whose own pending
        // limit then applies.
        self->in_cv_.wait(lock, [&] { return self->in_stop_ || self->in_bytes_ <= self->options_.max_in_flight; });
        if (self->in_stop_)
            return;
        self->in_bytes_ += size;
        self->in_q_.push_back(std::move(in));
        if (!self->in_posted_) {
            self->in_posted_ = true;
            asio::post(self->io_, [self] { self->take_inbound(); });
        }
    }

    // Puts the fragments of a message together (on the delivery thread); true with `in`
    // filled once a whole message of complete lines is there.
    bool take(natsMsg* msg, Inbound& in) {
        const auto* data = reinterpret_cast<const unsigned char*>(natsMsg_GetData(msg));
        Reader r{data, data + natsMsg_GetDataLength(msg)};
        std::uint64_t from = 0;
        if (!r.u64(from) || r.p >= r.end)
            return false;
        bool more = *r.p++ != 0;
        // Fragments of one message come in order and unmixed on their subject: one
        // publisher per instance, one delivery thread here.
        std::string key = natsMsg_GetSubject(msg);
        key.append(reinterpret_cast<const char*>(data), 8);
        std::string whole;
        auto found = assembling_.find(key);
        if (more || found != assembling_.end()) {
            if (found == assembling_.end()) {
                // An instance that died (or a subscription dropped) mid-message leaves its
                // start behind: drop old starts.
                Time now = Clock::now();
                for (auto it = assembling_.begin(); it != assembling_.end();)
                    it = now - it->second.since > std::chrono::seconds(30) ? assembling_.erase(it) : std::next(it);
                found = assembling_.emplace(key, Assembly{}).first;
                found->second.since = now;
            }
            Assembly& a = found->second;
            a.skip = a.skip || a.buf.size() + static_cast<std::size_t>(r.end - r.p) > kMaxMessage;
            if (!a.skip)
                a.buf.append(reinterpret_cast<const char*>(r.p), static_cast<std::size_t>(r.end - r.p));
            if (more)
                return false;
            bool skip = a.skip;
            whole = std::move(a.buf);
            assembling_.erase(found);
            if (skip)
                return false;
            r = Reader{reinterpret_cast<const unsigned char*>(whole.data()),
                       reinterpret_cast<const unsigned char*>(whole.data()) + whole.size()};
        }
        std::uint32_t len = 0;
        // Only whole lines go on to clients.
        if (!r.u32(len) || !r.bytes(len, in.session) || r.p >= r.end || r.end[-1] != '\n')
            return false;
        in.lines = std::make_shared<const std::string>(reinterpret_cast<const char*>(r.p),
                                                       static_cast<std::size_t>(r.end - r.p));
        return true;
    }

    static void on_disconnected(natsConnection*, void* closure) {
        auto* self = static_cast<NatsCluster*>(closure);
        if (!self->closing_)
            asio::post(self->io_, [self] { self->report(false); });
    }

    // Also the first connection when the server was not there at start.
    static void on_reconnected(natsConnection*, void* closure) {
        auto* self = static_cast<NatsCluster*>(closure);
        if (!self->closing_)
            asio::post(self->io_, [self] {
                if (!self->stopped_)
                    self->counts_->reconnected();
            });
    }

    static void on_error(natsConnection*, natsSubscription*, natsStatus s, void* closure) {
        auto* self = static_cast<NatsCluster*>(closure);
        if (s == NATS_SLOW_CONSUMER && !self->slow_reported_.exchange(true))
            std::fprintf(stderr, "kiv-relay: cluster: fell behind the NATS server; lines from other instances "
                                 "were lost\n");
    }

    asio::io_context& io_;
    Core& core_;
    ClusterOptions options_;
    std::string prefix_;
    std::uint64_t self_ = 0;
    natsOptions* nopts_ = nullptr;
    natsConnection* nc_ = nullptr;
    std::unique_ptr<Counts> counts_;
    std::atomic<bool> closing_{false};
    std::atomic<bool> slow_reported_{false};
    std::atomic<std::uint64_t> received_{0}, received_bytes_{0}; // line messages from NATS
    // The delivery thread's own: subject and instance -> message so far, whether it grew
    // too long to keep, and when it began.
    struct Assembly {
        std::string buf;
        bool skip = false;
        Time since{};
    };
    std::unordered_map<std::string, Assembly> assembling_;

    // The loop's own.
    std::unordered_map<std::string, std::unique_ptr<Interest>> interest_; // subject token -> subscription
    bool down_reported_ = false;
    bool up_reported_ = false;
    bool stopped_ = false;
    // Drained subscriptions waiting to be freed (by the counts thread).
    std::mutex retired_m_;
    std::vector<std::unique_ptr<Interest>> retired_;

    std::mutex out_m_;
    std::condition_variable out_cv_;
    std::deque<std::pair<std::string, std::string>> out_q_;
    std::size_t out_bytes_ = 0;
    bool out_stop_ = false;
    bool out_paused_ = false;
    std::thread publisher_;

    std::mutex in_m_;
    std::condition_variable in_cv_;
    std::deque<Inbound> in_q_;
    std::size_t in_bytes_ = 0;
    bool in_posted_ = false;
    bool in_stop_ = false;
};

} // namespace

std::unique_ptr<Cluster> join_cluster(asio::io_context& io, Server& server, const ClusterOptions& options,
                                      std::string* error) {
    if (options.name.empty() || options.name.size() > 64 ||
        options.name.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_-") !=
            std::string::npos) {
        *error = "--cluster-name must be 1 to 64 letters, digits, '_' or '-'";
        return nullptr;
    }
    auto cluster = std::make_unique<NatsCluster>(io, server, options);
    if (!cluster->start(error))
        return nullptr;
    return cluster;
}

} // namespace kiv::relay

#endif
