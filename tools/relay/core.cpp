// kiv-relay core: handshake, line framing, sessions, fan-out, back-pressure and time limits.
#include "core.hpp"

#include <algorithm>
#include <cstring>

namespace kiv::relay {

namespace {

const char kGreeting[] = "kiv-relay 1\n";
const char kGoodbye = '`';
const char kAddressQuery[] = "IPADDRESS";
// A partial-line buffer grown past this is released once the line is done, so a
// client that sent one big line does not keep the memory while idle.
constexpr std::size_t kKeepCapacity = 64 * 1024;

} // namespace

struct Core::Session {
    const std::string* name = nullptr; // the key in sessions_
    std::vector<Client*> members;
    std::size_t behind = 0; // members past high water: while any, nobody in the session is read
};

struct Core::Client {
    enum class State { handshake, member, closing, closed };

    ClientId id = 0;
    State state = State::handshake;
    std::string address;
    std::string peer;
    Time deadline{}; // handshake limit, then goodbye linger
    bool asked = false; // answered its address query
    std::string partial;
    Time partial_since{};
    Session* session = nullptr;
    std::size_t member_index = 0;
    bool joining = false;        // waiting for the count of members elsewhere
    std::size_t local_others = 0; // members here when it joined
    std::deque<Chunk> queue;
    std::size_t offset = 0; // bytes of queue.front() already sent
    std::size_t queued = 0; // bytes waiting, offset excluded
    Time progress{};        // last time the socket took bytes, or the queue filled from empty
    bool behind = false;
};

Core::Core(const Limits& limits, Shell& shell) : limits_(limits), shell_(shell) {}

Core::~Core() = default;

Core::Client* Core::find(ClientId id) const {
    auto it = clients_.find(id);
    return it == clients_.end() ? nullptr : it->second.get();
}

void Core::open(ClientId id, std::string address, std::string peer, Time now) {
    now_ = now;
    auto owned = std::make_unique<Client>();
    Client& c = *owned;
    c.id = id;
    c.address = std::move(address);
    c.peer = std::move(peer);
    c.deadline = now + limits_.handshake_timeout;
    clients_.emplace(id, std::move(owned));
    shell_.log("connect " + c.peer + " (" + std::to_string(clients_.size()) + " connected)");
    send(c, kGreeting);
    settle();
}

bool Core::readable(ClientId id) const {
    const Client* c = find(id);
    if (!c)
        return false;
    if (c->state == Client::State::handshake)
        return true;
    return c->state == Client::State::member && !c->joining && !paused_ && c->session->behind == 0;
}

void Core::input(ClientId id, const char* p, std::size_t n, Time now) {
    now_ = now;
    Client* cp = find(id);
    if (!cp)
        return;
    Client& c = *cp;
    while (n > 0 && c.state == Client::State::handshake) {
        const char* nl = static_cast<const char*>(std::memchr(p, '\n', n));
        if (!nl) {
            keep_partial(c, p, n);
            break;
        }
        std::size_t len = static_cast<std::size_t>(nl - p);
        if (c.partial.size() + len > limits_.max_line) {
            close(c, Close::now, "line too long");
            break;
        }
        std::string line = std::move(c.partial);
        add_held(-static_cast<std::ptrdiff_t>(line.size()));
        c.partial.clear();
        line.append(p, len);
        n -= len + 1;
        p = nl + 1;
        handshake_line(c, line);
    }
    if (n > 0 && c.state == Client::State::member)
        consume_member(c, p, n);
    settle();
}

void Core::handshake_line(Client& c, const std::string& line) {
    if (line.size() == 1 && line[0] == kGoodbye) {
        close(c, Close::flush, "goodbye");
    } else if (c.asked) {
        // One answer per connection: a query loop must not turn into an amplifier.
        // The answer already queued still goes out.
        close(c, Close::flush, "only a goodbye may follow an address query");
    } else if (line == kAddressQuery) {
        c.asked = true;
        send(c, c.address + "\n");
    } else {
        join(c, line);
    }
}

// Forwards all complete lines of this chunk as one batch, so a burst of small lines
// costs one allocation and one write per recipient rather than one per line.
void Core::consume_member(Client& c, const char* p, std::size_t n) {
    const char* end = p + n;
    const char* q = p; // start of the first line not yet in the batch
    const char* why = nullptr;
    while (q < end) {
        const char* nl = static_cast<const char*>(std::memchr(q, '\n', static_cast<std::size_t>(end - q)));
        if (!nl)
            break;
        bool first = q == p;
        std::size_t len = static_cast<std::size_t>(nl - q) + (first ? c.partial.size() : 0);
        if (len > limits_.max_line) {
            why = "line too long";
            break;
        }
        if (len == 1 && ((first && !c.partial.empty()) ? c.partial[0] : *q) == kGoodbye) {
            why = "goodbye";
            break;
        }
        q = nl + 1;
    }
    if (q != p) {
        // Complete lines before a goodbye or an overlong line still go out.
        std::string batch;
        batch.reserve(c.partial.size() + static_cast<std::size_t>(q - p));
        batch.append(c.partial);
        batch.append(p, static_cast<std::size_t>(q - p));
        release_partial(c);
        forward(c, std::move(batch));
    }
    if (c.state != Client::State::member)
        return;
    if (why) {
        close(c, why[0] == 'g' ? Close::flush : Close::now, why);
        return;
    }
    keep_partial(c, q, static_cast<std::size_t>(end - q));
}

void Core::keep_partial(Client& c, const char* p, std::size_t n) {
    if (n == 0)
        return;
    if (c.partial.size() + n > limits_.max_line) {
        close(c, Close::now, "line too long");
        return;
    }
    if (c.partial.empty())
        c.partial_since = now_;
    c.partial.append(p, n);
    add_held(static_cast<std::ptrdiff_t>(n));
}

void Core::release_partial(Client& c) {
    add_held(-static_cast<std::ptrdiff_t>(c.partial.size()));
    if (c.partial.capacity() > kKeepCapacity)
        std::string().swap(c.partial);
    else
        c.partial.clear();
}

void Core::join(Client& c, const std::string& name) {
    auto [it, fresh] = sessions_.try_emplace(name);
    Session& s = it->second;
    if (fresh)
        s.name = &it->first;
    std::size_t others = s.members.size();
    c.session = &s;
    c.member_index = others;
    c.state = Client::State::member;
    s.members.push_back(&c);
    if (cluster_ && cluster_->joining(c.id, name, s.members.size())) {
        c.joining = true;
        c.local_others = others;
        return;
    }
    send(c, std::to_string(others) + "\n");
}

void Core::joined(ClientId id, std::size_t remote, Time now) {
    now_ = now;
    Client* c = find(id);
    if (c && c->joining) {
        c->joining = false;
        send(*c, std::to_string(c->local_others + remote) + "\n");
        if (readable(id))
            shell_.want_read(id);
    }
    settle();
}

void Core::leave(Client& c) {
    Session* s = c.session;
    if (!s)
        return;
    set_behind(c, false);
    c.session = nullptr;
    auto& members = s->members;
    std::size_t index = c.member_index;
    if (index + 1 != members.size()) {
        members[index] = members.back();
        members[index]->member_index = index;
    }
    members.pop_back();
    if (cluster_)
        cluster_->members_changed(*s->name, members.size());
    if (members.empty())
        sessions_.erase(sessions_.find(*s->name)); // erase(key) would read a key it is freeing
}

void Core::forward(Client& sender, std::string&& lines) {
    Session& s = *sender.session;
    if (s.members.size() < 2 && !cluster_)
        return;
    auto chunk = std::make_shared<const std::string>(std::move(lines));
    if (cluster_)
        cluster_->publish(*s.name, chunk);
    fan_out(s, &sender, chunk);
}

void Core::deliver(const std::string& session, const Chunk& lines, Time now) {
    now_ = now;
    auto it = sessions_.find(session);
    if (it != sessions_.end())
        fan_out(it->second, nullptr, lines);
    settle();
}

void Core::fan_out(Session& s, const Client* sender, const Chunk& chunk) {
    // A joining member gets only lines that come after its answer.
    for (Client* member : s.members)
        if (member != sender && !member->joining && !enqueue(*member, chunk))
            overflowed_.push_back(member);
    // Closed only after the loop: closing edits the member list being walked.
    for (Client* member : overflowed_) {
        ++stats_.dropped_full;
        close(*member, Close::reset, "send queue full");
    }
    overflowed_.clear();
}

void Core::send(Client& c, std::string text) {
    if (!enqueue(c, std::make_shared<const std::string>(std::move(text)))) {
        ++stats_.dropped_full;
        close(c, Close::reset, "send queue full");
    }
}

// Returns false when the client's queue has grown past the bound.
bool Core::enqueue(Client& c, const Chunk& chunk) {
    if (c.state == Client::State::closed || chunk->empty())
        return true;
    bool was_empty = c.queue.empty();
    c.queue.push_back(chunk);
    c.queued += chunk->size();
    hold(chunk);
    stats_.peak_queue = std::max(stats_.peak_queue, c.queued);
    if (was_empty) {
        c.progress = now_;
        shell_.want_write(c.id);
    }
    if (c.queued > limits_.high_water)
        set_behind(c, true);
    return c.queued <= limits_.max_pending;
}

void Core::set_behind(Client& c, bool behind) {
    if (c.behind == behind || !c.session)
        return;
    c.behind = behind;
    Session& s = *c.session;
    if (behind) {
        if (s.behind++ == 0)
            ++stats_.paused_sessions;
    } else if (--s.behind == 0) {
        --stats_.paused_sessions;
        resume(s);
    }
}

void Core::resume(Session& s) {
    if (paused_)
        return;
    for (Client* m : s.members) {
        // The time spent paused does not count against an unfinished line.
        if (!m->partial.empty())
            m->partial_since = now_;
        shell_.want_read(m->id);
    }
}

void Core::set_paused(bool paused) {
    if (paused == paused_)
        return;
    paused_ = paused;
    if (!paused)
        for (auto& kv : sessions_)
            if (kv.second.behind == 0)
                resume(kv.second);
}

const std::deque<Chunk>* Core::output(ClientId id, std::size_t* offset) const {
    const Client* c = find(id);
    if (!c || c->queue.empty())
        return nullptr;
    *offset = c->offset;
    return &c->queue;
}

void Core::wrote(ClientId id, std::size_t size, Time now) {
    now_ = now;
    Client* cp = find(id);
    if (!cp)
        return;
    Client& c = *cp;
    size = std::min(size, c.queued);
    if (size > 0)
        c.progress = now;
    c.queued -= size;
    c.offset += size;
    while (!c.queue.empty() && c.offset >= c.queue.front()->size()) {
        c.offset -= c.queue.front()->size();
        release(c.queue.front());
        c.queue.pop_front();
    }
    if (c.queued <= limits_.low_water)
        set_behind(c, false);
    if (c.state == Client::State::closing && c.queue.empty())
        close(c, Close::now, "");
    settle();
}

void Core::ended(ClientId id, const std::string& reason, Time now) {
    now_ = now;
    if (Client* c = find(id))
        close(*c, Close::now, reason);
    settle();
}

std::chrono::milliseconds Core::tick_interval() const {
    auto shortest = std::min({limits_.handshake_timeout, limits_.goodbye_linger, limits_.stall_timeout,
                              limits_.line_timeout});
    return std::clamp(shortest / 4, std::chrono::milliseconds(5), std::chrono::milliseconds(1000));
}

void Core::tick(Time now) {
    now_ = now;
    std::vector<std::pair<Client*, const char*>> due;
    for (auto& kv : clients_) {
        Client& c = *kv.second;
        using S = Client::State;
        if ((c.state == S::handshake || c.state == S::closing) && now >= c.deadline)
            due.emplace_back(&c, c.state == S::handshake ? "handshake timeout" : "");
        else if (!c.queue.empty() && now - c.progress >= limits_.stall_timeout)
            due.emplace_back(&c, "takes no bytes");
        else if (!c.partial.empty() && readable(c.id) && now - c.partial_since >= limits_.line_timeout)
            due.emplace_back(&c, "unfinished line timeout");
    }
    for (auto& [c, why] : due) {
        bool stalled = why[0] == 't';
        stats_.dropped_stalled += stalled;
        stats_.dropped_line += why[0] == 'u';
        close(*c, stalled ? Close::reset : Close::now, why);
    }
    settle();
}

void Core::shutdown() {
    std::vector<Client*> all;
    all.reserve(clients_.size());
    for (auto& kv : clients_)
        all.push_back(kv.second.get());
    for (Client* c : all)
        close(*c, Close::now, "shutdown");
    settle();
}

void Core::close(Client& c, Close how, const std::string& reason) {
    using S = Client::State;
    if (c.state == S::closed)
        return;
    if (c.state != S::closing) {
        leave(c);
        shell_.log("disconnect " + c.peer + " (" + reason + ")");
        if (how == Close::flush && !c.queue.empty()) {
            c.state = S::closing;
            c.deadline = now_ + limits_.goodbye_linger;
            release_partial(c);
            return;
        }
    } else if (how == Close::flush) {
        return;
    }
    c.state = S::closed;
    for (const Chunk& chunk : c.queue)
        release(chunk);
    add_held(-static_cast<std::ptrdiff_t>(c.partial.size()));
    auto it = clients_.find(c.id);
    closed_.push_back(std::move(it->second));
    clients_.erase(it);
    shell_.close(c.id, how == Close::reset);
}

// A batch goes to every member of a session but exists once: the budget counts it once,
// while any queue holds it.
void Core::hold(const Chunk& chunk) {
    if (chunk_refs_[chunk.get()]++ == 0)
        add_held(static_cast<std::ptrdiff_t>(chunk->size()));
}

void Core::release(const Chunk& chunk) {
    auto it = chunk_refs_.find(chunk.get());
    if (--it->second == 0) {
        chunk_refs_.erase(it);
        add_held(-static_cast<std::ptrdiff_t>(chunk->size()));
    }
}

void Core::add_held(std::ptrdiff_t delta) {
    stats_.held = static_cast<std::size_t>(static_cast<std::ptrdiff_t>(stats_.held) + delta);
    stats_.peak_held = std::max(stats_.peak_held, stats_.held);
}

// End of every entry point: keep the whole process within its budget, then free the closed.
void Core::settle() {
    if (stats_.held > limits_.memory_budget) {
        std::vector<std::pair<std::size_t, Client*>> holders;
        for (auto& kv : clients_) {
            Client& c = *kv.second;
            if (c.queued + c.partial.size() > 0)
                holders.emplace_back(c.queued + c.partial.size(), &c);
        }
        std::sort(holders.begin(), holders.end(),
                  [](const auto& a, const auto& b) { return a.first > b.first; });
        // Shed down to 7/8 of the budget, so one step over it does not cost a scan each time.
        for (auto& [bytes, c] : holders) {
            if (stats_.held <= limits_.memory_budget / 8 * 7)
                break;
            ++stats_.dropped_budget;
            close(*c, Close::reset, "memory budget");
        }
    }
    closed_.clear();
}

Stats Core::stats() const {
    Stats s = stats_;
    s.clients = clients_.size();
    s.sessions = sessions_.size();
    return s;
}

} // namespace kiv::relay
