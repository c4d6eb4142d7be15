// kiv-relay cluster link: lines and member counts travel between instances over NATS.
//
// Subjects, under the prefix kiv.<cluster-name>.:
//   lines.<hash>   complete lines a member sent: instance id, session name, the lines
//   presence       member counts: a full snapshot every heartbeat, a delta on each change,
//                  a hello (a snapshot that asks for the others') when an instance starts
//                  or its NATS server comes back, a goodbye when it stops
// Every instance subscribes to the whole prefix once, at start, so no join has to wait
// for a subscription to reach the server; names travel in the payload, the subject only
// carries a hash of them.
#include "cluster.hpp"

#include <cstdio>

namespace kiv::relay {

std::string session_subject_token(const std::string& session) {
    std::uint64_t h = 1469598103934665603ull; // FNV-1a
    for (unsigned char c : session) {
        h ^= c;
        h *= 1099511628211ull;
    }
    char buf[17];
    std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(h));
    return buf;
}

} // namespace kiv::relay

#ifndef KIV_RELAY_HAVE_NATS

namespace kiv::relay {

bool cluster_available() { return false; }

std::unique_ptr<Cluster> join_cluster(asio::io_context&, Server&, const ClusterOptions&, std::string* error) {
    *error = "this kiv-relay was built without the NATS client library (Debian: libnats-dev), "
             "so it cannot join a cluster";
    return nullptr;
}

} // namespace kiv::relay

#else

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

namespace kiv::relay {

namespace {

constexpr std::size_t kSnapshotPart = 256 * 1024;
// Messages travel in fragments of at most this much (NATS servers take 1 MiB by default).
constexpr std::size_t kFragment = 256 * 1024;
// A message never needs more: a line and a session name of 1 MiB each, and the batch
// a read adds; a longer one is dropped while being put together.
constexpr std::size_t kMaxMessage = 4 * 1024 * 1024;
// A hello asks the others for their snapshots at once, so that a new or returning instance
// counts right without waiting a heartbeat.
constexpr char kSnapshot = 'S', kDelta = 'D', kBye = 'B', kHello = 'H';

void put_u32(std::string& s, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        s.push_back(static_cast<char>(v >> (8 * i)));
}

void put_u64(std::string& s, std::uint64_t v) {
    for (int i = 0; i < 8; ++i)
        s.push_back(static_cast<char>(v >> (8 * i)));
}

// Little-endian reader over a payload; every read checks the end.
struct Reader {
    const unsigned char* p;
    const unsigned char* end;
    bool u32(std::uint32_t& v) {
        if (end - p < 4)
            return false;
        v = 0;
        for (int i = 0; i < 4; ++i)
            v |= static_cast<std::uint32_t>(p[i]) << (8 * i);
        p += 4;
        return true;
    }
    bool u64(std::uint64_t& v) {
        if (end - p < 8)
            return false;
        v = 0;
        for (int i = 0; i < 8; ++i)
            v |= static_cast<std::uint64_t>(p[i]) << (8 * i);
        p += 8;
        return true;
    }
    bool bytes(std::size_t n, std::string& out) {
        if (static_cast<std::size_t>(end - p) < n)
            return false;
        out.assign(reinterpret_cast<const char*>(p), n);
        p += n;
        return true;
    }
};

class NatsCluster final : public Cluster, private ClusterLink {
public:
    NatsCluster(asio::io_context& io, Server& server, const ClusterOptions& options)
        : io_(io), core_(server.core()), options_(options), prefix_("kiv." + options.name + "."),
          presence_subject_(prefix_ + "presence") {
        std::random_device rd;
        self_ = (static_cast<std::uint64_t>(rd()) << 32) ^ rd() ^
                static_cast<std::uint64_t>(Clock::now().time_since_epoch().count());
        server.on_tick([this](Time now) { tick(now); }, options.heartbeat / 4);
    }

    ~NatsCluster() override { stop(); }

    bool start(std::string* error) {
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
        s = natsConnection_Subscribe(&sub_, nc_, (prefix_ + ">").c_str(), &NatsCluster::on_msg, this);
        if (s == NATS_OK)
            s = natsSubscription_SetPendingLimits(sub_, 1 << 20, static_cast<int>(options_.max_in_flight * 4));
        if (s != NATS_OK) {
            *error = std::string("cannot subscribe on the NATS server: ") + natsStatus_GetText(s);
            return false;
        }
        if (!pending)
            natsConnection_FlushTimeout(nc_, 2000);
        publisher_ = std::thread([this] { publish_loop(); });
        core_.set_cluster(this);
        if (pending)
            report(false);
        else
            announce_all(kHello);
        return true;
    }

    void stop() override {
        if (stopped_)
            return;
        stopped_ = true;
        core_.set_cluster(nullptr);
        if (publisher_.joinable()) {
            std::string bye(1, kBye);
            push(presence_subject_, std::move(bye));
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
        if (sub_)
            natsSubscription_Destroy(sub_);
        sub_ = nullptr;
        if (nc_)
            natsConnection_Destroy(nc_);
        nc_ = nullptr;
        if (nopts_)
            natsOptions_Destroy(nopts_);
        nopts_ = nullptr;
        natsStatus s = nats_CloseAndWait(2000);
        if (s != NATS_OK)
            std::fprintf(stderr, "kiv-relay: cluster: the NATS client did not wind down: %s\n", natsStatus_GetText(s));
    }

private:
    struct Inbound {
        bool presence = false;
        std::uint64_t from = 0;
        std::string data; // presence payload, or the session name
        Chunk lines;
    };
    struct Remote {
        Time seen{};
        std::unordered_map<std::string, std::pair<std::size_t, Time>> counts;
    };

    // Closing while the client's reader is inside an inbound message is what leaked or
    // crashed. The client frees neither the messages still queued in a subscription that
    // is closed rather than drained, nor the buffer of a payload it was halfway through
    // reading when its connection closes; and freeing a subscription while the reader
    // delivers into it locks freed memory. So the inflow stops first: the drain
    // unsubscribes, waits for the server's word that it took the unsubscribe and hands
    // every queued message to on_msg (which drops it now); one more round trip reads
    // what the server routed here in the instant before. Only then does the connection
    // close, its reader idle.
    void close_link() {
        if (!nc_)
            return;
        natsStatus s = sub_ ? natsSubscription_Drain(sub_) : NATS_OK;
        if (s == NATS_OK && sub_)
            s = natsSubscription_WaitForDrainCompletion(sub_, 10000);
        if (s == NATS_OK)
            s = natsConnection_FlushTimeout(nc_, 2000);
        // Not connected is fine: then nothing is coming in.
        if (s != NATS_OK && s != NATS_CONNECTION_CLOSED && s != NATS_CONNECTION_DISCONNECTED)
            std::fprintf(stderr, "kiv-relay: cluster: stopping the inflow from NATS failed: %s\n",
                         natsStatus_GetText(s));
        natsConnection_Close(nc_);
    }

    // ---- ClusterLink: called by the core on the loop ----

    std::size_t remote_members(const std::string& session) override {
        std::size_t n = 0;
        for (auto& kv : remotes_) {
            auto it = kv.second.counts.find(session);
            if (it != kv.second.counts.end())
                n += it->second.first;
        }
        return n;
    }

    void members_changed(const std::string& session, std::size_t local) override {
        std::string p(1, kDelta);
        put_u32(p, static_cast<std::uint32_t>(session.size()));
        p += session;
        put_u32(p, static_cast<std::uint32_t>(local));
        push(presence_subject_, std::move(p));
    }

    void publish(const std::string& session, const Chunk& lines) override {
        std::string p;
        p.reserve(4 + session.size() + lines->size());
        put_u32(p, static_cast<std::uint32_t>(session.size()));
        p += session;
        p += *lines;
        push(prefix_ + "lines." + session_subject_token(session), std::move(p));
    }

    // ---- the loop's side ----

    void tick(Time now) {
        if (stopped_)
            return;
        if (now >= next_beat_) {
            next_beat_ = now + options_.heartbeat;
            announce_all();
        }
        // An instance silent for 3.5 heartbeats is gone, and so is a count none of its
        // snapshots repeated for as long (its delta to zero may have been lost).
        auto expiry = options_.heartbeat * 7 / 2;
        for (auto it = remotes_.begin(); it != remotes_.end();) {
            if (now - it->second.seen > expiry) {
                it = remotes_.erase(it);
                continue;
            }
            auto& counts = it->second.counts;
            for (auto c = counts.begin(); c != counts.end();)
                c = now - c->second.second > expiry ? counts.erase(c) : std::next(c);
            ++it;
        }
    }

    void announce_all(char kind = kSnapshot) {
        auto counts = core_.local_counts();
        std::string p;
        auto begin = [&] {
            p.clear();
            p.push_back(kind);
        };
        begin();
        for (auto& [name, n] : counts) {
            put_u32(p, static_cast<std::uint32_t>(name.size()));
            p += name;
            put_u32(p, static_cast<std::uint32_t>(n));
            if (p.size() >= kSnapshotPart) {
                push(presence_subject_, std::move(p));
                begin();
            }
        }
        push(presence_subject_, std::move(p));
    }

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
        for (auto& in : batch) {
            if (in.from == self_)
                continue;
            if (in.presence)
                presence(in.from, in.data, now);
            else
                core_.deliver(in.data, in.lines, now);
        }
    }

    void presence(std::uint64_t from, const std::string& data, Time now) {
        Reader r{reinterpret_cast<const unsigned char*>(data.data()),
                 reinterpret_cast<const unsigned char*>(data.data()) + data.size()};
        if (r.p >= r.end)
            return;
        char kind = static_cast<char>(*r.p++);
        if (kind == kBye) {
            remotes_.erase(from);
            return;
        }
        if (kind == kHello)
            announce_all();
        Remote& remote = remotes_[from];
        remote.seen = now;
        std::uint32_t len = 0, count = 0;
        std::string name;
        while (r.u32(len) && r.bytes(len, name) && r.u32(count)) {
            if (count == 0)
                remote.counts.erase(name);
            else
                remote.counts[name] = {count, now};
        }
    }

    void report(bool up) {
        if (stopped_)
            return;
        if (!up && !down_reported_) {
            down_reported_ = true;
            std::fprintf(stderr, "kiv-relay: cluster: no NATS server at %s; serving this instance's members only\n",
                         options_.url.c_str());
        } else if (up) {
            if (down_reported_)
                std::fprintf(stderr, "kiv-relay: cluster: NATS server at %s is back; sessions are shared again\n",
                             options_.url.c_str());
            down_reported_ = false;
            announce_all(kHello);
        }
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
        auto* self = static_cast<NatsCluster*>(closure);
        if (self->closing_) {
            natsMsg_Destroy(msg);
            return;
        }
        Inbound in;
        in.presence = std::strcmp(natsMsg_GetSubject(msg), self->presence_subject_.c_str()) == 0;
        const auto* data = reinterpret_cast<const unsigned char*>(natsMsg_GetData(msg));
        Reader r{data, data + natsMsg_GetDataLength(msg)};
        bool ok = r.u64(in.from) && r.p < r.end;
        bool more = ok && *r.p++ != 0;
        // Fragments of one message come in order and unmixed: one publisher per
        // instance, one subscription, so one buffer per instance puts them together.
        std::string whole;
        if (ok && (more || self->assembling_.count(in.from))) {
            auto& assembling = self->assembling_;
            if (!assembling.count(in.from)) {
                // An instance that died mid-message leaves its start behind: drop old starts.
                Time now = Clock::now();
                for (auto it = assembling.begin(); it != assembling.end();)
                    it = now - it->second.since > std::chrono::seconds(30) ? assembling.erase(it) : std::next(it);
                assembling[in.from].since = now;
            }
            Assembly& a = assembling[in.from];
            a.skip = a.skip || a.buf.size() + static_cast<std::size_t>(r.end - r.p) > kMaxMessage;
            if (!a.skip)
                a.buf.append(reinterpret_cast<const char*>(r.p), static_cast<std::size_t>(r.end - r.p));
            if (more) {
                natsMsg_Destroy(msg);
                return;
            }
            ok = !a.skip;
            whole = std::move(a.buf);
            assembling.erase(in.from);
            r = Reader{reinterpret_cast<const unsigned char*>(whole.data()),
                       reinterpret_cast<const unsigned char*>(whole.data()) + whole.size()};
        }
        std::uint32_t len = 0;
        std::size_t size = 0;
        if (ok && in.presence) {
            in.data.assign(reinterpret_cast<const char*>(r.p), static_cast<std::size_t>(r.end - r.p));
            size = in.data.size();
        } else if (ok && r.u32(len) && r.bytes(len, in.data) && r.p < r.end && r.end[-1] == '\n') {
            // Only whole lines go on to clients.
            in.lines = std::make_shared<const std::string>(reinterpret_cast<const char*>(r.p),
                                                           static_cast<std::size_t>(r.end - r.p));
            size = in.lines->size() + in.data.size();
        } else {
            ok = false;
        }
        natsMsg_Destroy(msg);
        if (!ok)
            return;
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

    static void on_disconnected(natsConnection*, void* closure) {
        auto* self = static_cast<NatsCluster*>(closure);
        if (!self->closing_)
            asio::post(self->io_, [self] { self->report(false); });
    }

    static void on_reconnected(natsConnection*, void* closure) {
        auto* self = static_cast<NatsCluster*>(closure);
        if (!self->closing_)
            asio::post(self->io_, [self] { self->report(true); });
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
    std::string presence_subject_;
    std::uint64_t self_ = 0;
    natsOptions* nopts_ = nullptr;
    natsConnection* nc_ = nullptr;
    natsSubscription* sub_ = nullptr;
    std::atomic<bool> closing_{false};
    std::atomic<bool> slow_reported_{false};
    // The NATS client's delivery thread's own: instance -> message so far, whether it
    // grew too long to keep, and when it began.
    struct Assembly {
        std::string buf;
        bool skip = false;
        Time since{};
    };
    std::unordered_map<std::uint64_t, Assembly> assembling_;

    // The loop's own.
    std::unordered_map<std::uint64_t, Remote> remotes_;
    Time next_beat_{};
    bool down_reported_ = false;
    bool stopped_ = false;

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

bool cluster_available() { return true; }

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
