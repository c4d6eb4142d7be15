// kiv-relay cluster counts: joins answered by compare-and-set on a JetStream key-value bucket.
#include "counts.hpp"
#include "wire.hpp"

namespace kiv::relay {

namespace {

// Nobody rewrote the key for this long: every instance that had members in it is gone.
constexpr std::chrono::minutes kSessionTtl{10};
// A key written by another instance between our read and our write: read again. Each
// retry means some other instance got through, so this bounds nothing that makes progress.
constexpr int kWriteAttempts = 32;
constexpr std::size_t kPair = 12;

using wire::fnv1a;
using wire::hex;

void put_pair(std::string& out, std::uint64_t id, std::uint64_t n) {
    wire::put_u64(out, id);
    wire::put_u32(out, static_cast<std::uint32_t>(n));
}

std::vector<std::pair<std::uint64_t, std::uint32_t>> pairs_of(const void* data, int len) {
    std::vector<std::pair<std::uint64_t, std::uint32_t>> out;
    const auto* p = static_cast<const unsigned char*>(data);
    wire::Reader r{p, p + (len > 0 ? len / kPair * kPair : 0)};
    std::uint64_t id = 0;
    std::uint32_t n = 0;
    while (r.u64(id) && r.u32(n))
        out.emplace_back(id, n);
    return out;
}

// A compare-and-set that lost to another writer comes back as a JetStream API error;
// anything else means the server could not be asked.
bool lost_race(natsStatus s) { return s == NATS_ERR; }

} // namespace

Counts::Counts(natsConnection* nc, std::string cluster, std::chrono::milliseconds heartbeat, std::uint64_t self,
               Answer answer, Ready ready)
    : nc_(nc), cluster_(std::move(cluster)), heartbeat_(heartbeat), self_(self), answer_(std::move(answer)),
      ready_cb_(std::move(ready)) {}

Counts::~Counts() {
    stop(std::chrono::milliseconds(0));
    if (sessions_)
        kvStore_Destroy(sessions_);
    if (instances_)
        kvStore_Destroy(instances_);
    if (js_)
        jsCtx_Destroy(js_);
}

// Two 64-bit hashes with different seeds: names that share a key would share a count.
std::string Counts::session_key(const std::string& session) {
    return "s." + hex(fnv1a(session)) + hex(fnv1a(session, 0x9e3779b97f4a7c15ull));
}

void Counts::start() {
    if (natsConnection_Status(nc_) == NATS_CONN_STATUS_CONNECTED) {
        ready_ = setup();
        setup_due_ = false;
    }
    thread_ = std::thread([this] { run(); });
}

void Counts::join(ClientId id, const std::string& session, std::size_t local) {
    {
        std::lock_guard<std::mutex> lock(m_);
        ops_.push_back(Op{id, session, local});
    }
    cv_.notify_one();
}

void Counts::set(const std::string& session, std::size_t local) { join(0, session, local); }

void Counts::reconnected() {
    {
        std::lock_guard<std::mutex> lock(m_);
        setup_due_ = true;
    }
    cv_.notify_one();
}

void Counts::after_round_trip(std::function<void()> f) {
    std::lock_guard<std::mutex> lock(m_);
    deferred_.push_back(std::move(f));
}

void Counts::stop(std::chrono::milliseconds grace) {
    if (!thread_.joinable())
        return;
    {
        std::lock_guard<std::mutex> lock(m_);
        stop_ = true;
    }
    cv_.notify_one();
    thread_.join();
    farewell(grace);
}

void Counts::run() {
    std::unique_lock<std::mutex> lock(m_);
    Time next_beat = Clock::now();
    while (!stop_) {
        cv_.wait_until(lock, next_beat, [&] { return stop_ || setup_due_ || !ops_.empty(); });
        if (stop_)
            break;
        std::deque<Op> ops;
        ops.swap(ops_);
        bool setup = setup_due_;
        setup_due_ = false;
        lock.unlock();
        Time now = Clock::now();
        bool beat = now >= next_beat;
        if (beat) {
            next_beat = now + heartbeat_;
            setup = setup || !ready_;
        }
        step(ops, setup, beat ? now : Time{});
        lock.lock();
    }
}

// One round of the thread: set up if due, answer and record the changes, beat when
// `beat_at` is set, then write what differs.
void Counts::step(std::deque<Op>& ops, bool setup_now, Time beat_at) {
    if (setup_now && natsConnection_Status(nc_) == NATS_CONN_STATUS_CONNECTED)
        ready_ = setup();
    for (const Op& op : ops)
        apply(op);
    if (beat_at != Time{})
        beat(beat_at);
    write_dirty(Clock::now() + heartbeat_);
}

bool Counts::bucket(kvStore** kv, const std::string& name, std::chrono::milliseconds ttl) {
    if (*kv)
        kvStore_Destroy(*kv);
    *kv = nullptr;
    natsStatus s = js_KeyValue(kv, js_, name.c_str());
    if (s == NATS_NOT_FOUND) {
        kvConfig c;
        kvConfig_Init(&c);
        c.Bucket = name.c_str();
        c.History = 1;
        c.TTL = std::chrono::duration_cast<std::chrono::nanoseconds>(ttl).count(); // the client passes it as is
        c.StorageType = js_MemoryStorage;
        s = js_CreateKeyValue(kv, js_, &c);
        if (s != NATS_OK) // another instance made it first
            s = js_KeyValue(kv, js_, name.c_str());
    }
    return s == NATS_OK;
}

bool Counts::setup() {
    jsOptions o;
    jsOptions_Init(&o);
    o.Wait = 5000;
    bool ok = (js_ || natsConnection_JetStream(&js_, nc_, &o) == NATS_OK) &&
              bucket(&sessions_, "kiv-" + cluster_ + "-sessions", kSessionTtl) &&
              bucket(&instances_, "kiv-" + cluster_ + "-instances", heartbeat_ * 7 / 2) &&
              kvStore_PutString(nullptr, instances_, ("i." + hex(self_)).c_str(), "1") == NATS_OK;
    if (!ok && !setup_failed_) {
        setup_failed_ = true;
        std::fprintf(stderr, "kiv-relay: cluster: cannot keep member counts in the NATS server's key-value store "
                             "(is nats-server started with -js?); joins count this instance's members only\n");
    }
    if (!ok)
        return false;
    setup_failed_ = false;
    liveness_.clear();
    for (auto& kv : local_)
        dirty_.insert(kv.first);
    ready_cb_();
    return true;
}

void Counts::apply(const Op& op) {
    local_[op.session] = op.local;
    if (op.id == 0) {
        dirty_.insert(op.session);
        return;
    }
    std::size_t remote = 0;
    // While the client reconnects, a request would wait its whole time limit for nothing.
    bool connected = natsConnection_Status(nc_) == NATS_CONN_STATUS_CONNECTED;
    if (ready_ && connected && write(op.session, op.local, &remote))
        dirty_.erase(op.session);
    else
        dirty_.insert(op.session);
    answer_(op.id, remote);
}

void Counts::write_dirty(Time deadline) {
    if (natsConnection_Status(nc_) != NATS_CONN_STATUS_CONNECTED)
        return;
    for (auto it = dirty_.begin(); it != dirty_.end() && ready_ && Clock::now() < deadline;) {
        if (!write(*it, local_[*it], nullptr))
            break;
        it = dirty_.erase(it);
    }
}

// Makes this instance's pair in the session's key say `own`; `remote` gets the members
// the other live instances have there.
bool Counts::write(const std::string& session, std::size_t own, std::size_t* remote) {
    std::string key = session_key(session);
    for (int attempt = 0; attempt < kWriteAttempts; ++attempt) {
        Write w = write_once(key, own, remote);
        if (w == Write::conflict)
            continue;
        if (w == Write::failed)
            break;
        if (own == 0) {
            local_.erase(session);
            written_.erase(session);
        } else {
            written_[session] = Clock::now();
        }
        return true;
    }
    ready_ = false;
    return false;
}

Counts::Write Counts::write_once(const std::string& key, std::size_t own, std::size_t* remote) {
    kvEntry* e = nullptr;
    natsStatus s = kvStore_Get(&e, sessions_, key.c_str());
    if (s != NATS_OK && s != NATS_NOT_FOUND)
        return Write::failed;
    std::uint64_t rev = e ? kvEntry_Revision(e) : 0;
    auto pairs = e ? pairs_of(kvEntry_Value(e), kvEntry_ValueLen(e)) : decltype(pairs_of(nullptr, 0)){};
    if (e)
        kvEntry_Destroy(e);
    std::string value;
    std::size_t others = 0;
    bool mine = false;
    for (auto& [id, n] : pairs) {
        mine = mine || id == self_;
        if (id != self_ && alive(id)) {
            others += n;
            put_pair(value, id, n);
        }
    }
    if (remote)
        *remote = others;
    if (own == 0 && !mine)
        return Write::ok; // nothing of ours to take out
    if (own > 0)
        put_pair(value, self_, own);
    s = rev == 0 ? kvStore_Create(nullptr, sessions_, key.c_str(), value.data(), static_cast<int>(value.size()))
                 : kvStore_Update(nullptr, sessions_, key.c_str(), value.data(), static_cast<int>(value.size()), rev);
    return s == NATS_OK ? Write::ok : lost_race(s) ? Write::conflict : Write::failed;
}

// Whether an instance's key is there, asked at most once a heartbeat. When the server
// cannot say, the instance counts: a pair is never dropped on a doubt.
bool Counts::alive(std::uint64_t id) {
    Time now = Clock::now();
    auto it = liveness_.find(id);
    if (it != liveness_.end() && now - it->second.second < heartbeat_)
        return it->second.first;
    kvEntry* e = nullptr;
    natsStatus s = kvStore_Get(&e, instances_, ("i." + hex(id)).c_str());
    if (e)
        kvEntry_Destroy(e);
    bool yes = s != NATS_NOT_FOUND;
    liveness_[id] = {yes, now};
    return yes;
}

void Counts::beat(Time now) {
    if (ready_ && kvStore_PutString(nullptr, instances_, ("i." + hex(self_)).c_str(), "1") != NATS_OK)
        ready_ = false;
    for (auto& [session, when] : written_)
        if (now - when > kSessionTtl / 4)
            dirty_.insert(session);
    for (auto it = liveness_.begin(); it != liveness_.end();)
        it = now - it->second.second > heartbeat_ * 10 ? liveness_.erase(it) : std::next(it);
    run_deferred();
}

void Counts::run_deferred() {
    std::vector<std::function<void()>> due;
    {
        std::lock_guard<std::mutex> lock(m_);
        due.swap(deferred_);
    }
    if (due.empty())
        return;
    if (natsConnection_FlushTimeout(nc_, 2000) != NATS_OK) {
        std::lock_guard<std::mutex> lock(m_);
        deferred_.insert(deferred_.end(), due.begin(), due.end());
        return;
    }
    for (auto& f : due)
        f();
}

// The members of this instance leave the counts, and so does the instance itself, so
// the others count right at once rather than after its key expires.
void Counts::farewell(std::chrono::milliseconds grace) {
    std::deque<Op> ops;
    ops.swap(ops_);
    for (const Op& op : ops)
        local_[op.session] = op.local, dirty_.insert(op.session);
    if (!ready_ || grace.count() == 0)
        return;
    write_dirty(Clock::now() + grace);
    kvStore_Delete(instances_, ("i." + hex(self_)).c_str());
    run_deferred();
}

} // namespace kiv::relay
