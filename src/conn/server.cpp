// The server pass of a player server: reading its players, releasing those
// who left, admitting newcomers, relaying tokens, routing messages,
// forwarding data, and holding the room back while a reader catches up.
#include <algorithm>
#include <string>
#include <vector>

#include "conn/connection.h"
#include "conn/trace.h"

namespace kiv {

namespace {

using Clock = std::chrono::steady_clock;

// Clients admitted in one pass; more wait in the backlog for the next one.
constexpr int kAcceptsPerPass = 256;
// Most records and bytes taken from one player in one pass, so that a
// flooding player can neither hold the server's mutex (and so the script's
// calls on the server) nor starve the players after it. The rest is read in
// the next pass, which follows at once.
constexpr size_t kRecordsPerPass = 512;
constexpr size_t kBytesPerPass = 64 * 1024;
// A player's gathered bytes are written early once they reach this, so a
// pass never holds much more than this per player.
constexpr size_t kGatherBound = 64 * 1024;
// Player numbers travel as signed 16-bit values: a list this long is full.
constexpr size_t kMaxPlayerNumber = 32767;
// Past the high-water mark in any player's outbox the pass reads nobody
// (records go to everybody, so every sender feeds it): TCP then slows the
// senders, not the reader. Reading resumes under the low-water mark.
constexpr size_t kHighWater = 1024 * 1024;
constexpr size_t kLowWater = 256 * 1024;
// How often a pass looks for players that stopped taking bytes.
constexpr int kStallCheckMs = 1000;

}  // namespace

PassLimits pass_limits;

// One pass over a player server; the hub's thread, the server's mutex held.
struct Pass {
    Connection& s;
    bool listener_ready = false;
    bool more = false;

    Connection* player(uint32_t number) {
        if (number < 1 || number > s.players.size()) return nullptr;
        return s.players[number - 1].get();
    }

    // Keeps the hub's entry for p in step with what its link wants now.
    void watch(Connection& p) {
        net::Lock lk(p.mutex);
        s.hub->watch(*p.link, static_cast<uint32_t>(p.player_number));
    }

    void note_outbox(Connection& p) {
        if (p.out_waiting_ || p.link->outbox_empty()) return;
        p.out_waiting_ = true;
        s.out_waiting_list_.push_back(static_cast<uint32_t>(p.player_number));
    }

    void to_read(Connection& p) {
        if (p.read_now_) return;
        p.read_now_ = true;
        s.to_read_.push_back(static_cast<uint32_t>(p.player_number));
    }

    // What the wait found, what the last pass left to do, what the script asked.
    void collect(const platform::PollEvent* ev, size_t n) {
        s.to_read_.clear();
        for (uint32_t number : s.carry_) {
            if (Connection* p = player(number)) to_read(*p);
        }
        s.carry_.clear();
        for (size_t i = 0; i < n; ++i) {
            if (ev[i].tag == net::Hub::kListenerTag) {
                listener_ready = true;
                continue;
            }
            Connection* p = player(ev[i].tag);
            if (!p) continue;
            if (ev[i].got & platform::kWantWrite) note_outbox(*p);
            if (ev[i].got & platform::kWantHangup) {
                // A peer gone with a record left at the bound, or while the
                // room is held, shows only here.
                net::Lock lk(p->mutex);
                p->link->note_hangup();
                s.hub->watch(*p->link, ev[i].tag);
            }
            const bool readable = ev[i].got & (platform::kWantRead | platform::kWantHangup);
            if (readable && (!p->link->reading_held() || p->link->peer_gone())) to_read(*p);
        }
        std::vector<uint32_t> requests;
        {
            std::lock_guard<std::mutex> lk(s.players_lock);
            requests.swap(s.flush_requests_);
        }
        for (uint32_t number : requests) {
            if (Connection* p = player(number)) note_outbox(*p);
        }
        // In player order: a pass serves what arrived before it in that order.
        std::sort(s.to_read_.begin(), s.to_read_.end());
    }

    // A departed player's socket, buffers and queues go now; only its number
    // stays taken. Its last records are still relayed in this pass.
    void release(Connection& p) {
        const uint32_t number = static_cast<uint32_t>(p.player_number);
        if (trace::on()) trace::event(p, "closed", p.link->peer_gone() ? "(the peer left)" : "(dropped)");
        s.hub->forget(*p.link);
        p.kind.store(kNotConnected);
        p.link->close_socket();
        std::lock_guard<std::mutex> lk(s.players_lock);
        s.leaving_.push_back(std::move(s.players[number - 1]));
        s.live_players.fetch_sub(1);
    }

    static bool departed(net::Link& l) { return l.peer_gone() || l.overflowed() || !l.open() || l.write_failed(); }

    void read() {
        s.reading_.clear();
        for (uint32_t number : s.to_read_) {
            Connection* p = player(number);
            if (!p) continue;
            s.reading_.push_back(p);
            net::Lock lk(p->mutex);
            net::Link& l = *p->link;
            if (!s.room_held_) {
                l.pump(kBytesPerPass, kRecordsPerPass);
                if (l.more()) {
                    s.carry_.push_back(number);
                    more = true;
                }
            }
            if (departed(l)) {
                release(*p);
            } else {
                s.hub->watch(l, number);
            }
        }
    }

    bool has_room() const {
        return s.live_players.load() < s.max_players && s.players.size() < kMaxPlayerNumber;
    }

    void admit(platform::socket_t sock) {
        if (!has_room()) {
            // Full: the empty token tells the client so, then the socket closes.
            if (trace::on()) trace::event(s, "refused a client", "(full)");
            s.hub->refuse(sock, "T\n", 2);
            return;
        }
        auto p = std::make_shared<Connection>();
        p->is_player = true;
        p->handle.store(s.handle.load());
        p->link.reset(new net::Link(p->mutex, *p, sock, false));
        p->link->use_wake(&s.hub->wake());
        p->link->end_at_record_bound();
        p->opened_kind = kTyped;
        p->kind.store(kTyped);
        std::string rec;
        {
            // The number goes out as the player becomes visible in the list, so
            // a broadcast by the script (which sends to what the list holds)
            // cannot reach the client before the number its handshake waits for.
            std::lock_guard<std::mutex> lk(s.players_lock);
            s.players.push_back(p);
            s.live_players.fetch_add(1);
            p->player_number = static_cast<int16_t>(s.players.size());
            const std::string number = std::to_string(s.players.size());
            tokens::typed_record(rec, number.data(), number.size());
            p->link->send(rec.data(), rec.size(), false);
        }
        // The server's mutex is held: no set of the server's slots runs between
        // the snapshot and the player's joining. One write for all of it.
        std::string snapshot;
        shared_data::snapshot(s.data, snapshot);
        if (!snapshot.empty()) p->link->send(snapshot.data(), snapshot.size(), false);
        note_outbox(*p);
        if (trace::on()) trace::event(*p, "opened", "");
        net::Lock lk(p->mutex);
        p->link->hold_reading(s.room_held_);
        s.hub->watch(*p->link, static_cast<uint32_t>(p->player_number));
    }

    void admit_all() {
        if (!listener_ready) return;
        int admitted = 0;
        for (; admitted < kAcceptsPerPass; ++admitted) {
            const platform::socket_t sock = s.hub->accept();
            if (sock == platform::invalid_socket) break;
            admit(sock);
        }
        if (admitted == kAcceptsPerPass) more = true;
    }

    // ---- Relaying: records gathered per recipient, one write each per pass.

    void write(Connection& p) {
        p.link->send(p.gather_.data(), p.gather_.size(), false);
        p.gather_.clear();
        note_outbox(p);
    }

    void to(size_t j, const std::string& rec) {
        Connection* p = j < s.players.size() ? s.players[j].get() : nullptr;
        if (!p || !p->connected()) return;
        if (trace::on()) trace::record(*p, "sent", rec.data(), rec.size());
        if (!p->dirty_) {
            p->dirty_ = true;
            s.dirty_list_.push_back(static_cast<uint32_t>(j + 1));
        }
        p->gather_ += rec;
        if (p->gather_.size() >= kGatherBound) write(*p);
    }

    void to_all_but(size_t except, const std::string& rec) {
        for (size_t j = 0; j < s.players.size(); ++j) {
            if (j != except) to(j, rec);
        }
    }

    // Player i's tokens: into the server's queue and to every other player,
    // gathered first so that each recipient takes them in one append.
    void relay_tokens(Connection& p, size_t i, std::string& rec) {
        std::string all;
        while (const tokens::Record* r = p.tokens.queue.front()) {
            if (!tokens::push(s.tokens, r->text.data(), r->text.length(), nullptr, 0, 0, true) && trace::on()) {
                trace::record(s, "dropped", r->text.data(), r->text.length());
            }
            tokens::typed_record(rec, r->text.data(), r->text.length());
            // One append per recipient for all of them, unless each record
            // is traced on its own line.
            if (trace::on()) {
                to_all_but(i, rec);
            } else {
                all += rec;
            }
            p.tokens.queue.pop();
        }
        if (!all.empty()) to_all_but(i, all);
    }

    // Player i's messages, by their target: 0 the server's script, -1
    // everybody (the server's script too), n player n (the sender included).
    void route_messages(Connection& p, size_t i, std::string& rec) {
        const int32_t sender = static_cast<int32_t>(i + 1);
        while (const messages::Record* r = p.messages.queue.front()) {
            const int32_t target = r->player;
            if (!messages::relayable(*r)) {
                s.messages.dropped.fetch_add(1);  // as a kiv sender refuses it
                if (trace::on()) trace::record(p, "dropped", r->value.data(), r->value.length());
            } else {
                if (target == 0 || target == -1) {
                    messages::push(s.messages, r->value.data(), r->value.length(), r->id,
                                   static_cast<int16_t>(sender), true);
                }
                if (target == -1 || target >= 1) {
                    messages::build_record(rec, r->id, sender, r->value.data(), r->value.length());
                    if (target == -1) {
                        to_all_but(i, rec);
                    } else {
                        to(static_cast<size_t>(target - 1), rec);
                    }
                }
            }
            p.messages.queue.pop();
        }
    }

    // Player i's data changes: stored in the server's table and forwarded to
    // everybody else (the sender already has them).
    void forward_changes(Connection& p, size_t i, std::string& rec) {
        while (const shared_data::Change* ch = p.data.changes.front()) {
            shared_data::apply_change(s.data, *ch);
            shared_data::forward_record(rec, *ch);
            to_all_but(i, rec);
            p.data.changes.pop();
        }
    }

    void relay() {
        std::string rec;
        for (Connection* p : s.reading_) {
            p->read_now_ = false;
            net::Lock lk(p->mutex);
            const size_t i = static_cast<size_t>(p->player_number - 1);
            relay_tokens(*p, i, rec);
            route_messages(*p, i, rec);
            forward_changes(*p, i, rec);
        }
        for (uint32_t number : s.dirty_list_) {
            Connection* p = player(number);
            if (!p) continue;
            p->dirty_ = false;
            if (!p->gather_.empty()) write(*p);
            // A burst's buffer is not kept by an idle player.
            if (p->gather_.capacity() > kGatherBound) std::string().swap(p->gather_);
        }
        s.dirty_list_.clear();
        s.leaving_.clear();
    }

    // ---- Outboxes: flushed as their sockets take bytes; a reader that
    // fell behind holds the room back; one that takes nothing is dropped.

    void set_room_held(bool held) {
        s.room_held_ = held;
        for (auto& sp : s.players) {
            if (!sp) continue;
            net::Lock lk(sp->mutex);
            sp->link->hold_reading(held);
            s.hub->watch(*sp->link, static_cast<uint32_t>(sp->player_number));
            // Reading resumes: one that stopped at its share has records
            // waiting that no event will announce.
            if (!held && sp->link->more()) s.carry_.push_back(static_cast<uint32_t>(sp->player_number));
        }
        if (!held && !s.carry_.empty()) more = true;
    }

    void watch_outboxes() {
        size_t most = 0;
        auto& list = s.out_waiting_list_;
        size_t keep = 0;
        for (uint32_t number : list) {
            Connection* p = player(number);
            if (!p) continue;
            net::Link& l = *p->link;
            l.flush();
            if (departed(l) || l.stalled(pass_limits.stall)) {
                net::Lock lk(p->mutex);
                release(*p);
                continue;
            }
            watch(*p);
            if (l.outbox_empty()) {
                p->out_waiting_ = false;
                continue;
            }
            most = std::max(most, l.outbox_bytes());
            list[keep++] = number;
        }
        list.resize(keep);
        s.leaving_.clear();
        if (!s.room_held_ && most > kHighWater) set_room_held(true);
        if (s.room_held_ && most <= kLowWater) set_room_held(false);
    }

    int next_wait() const {
        if (more) return 0;
        if (s.out_waiting_list_.empty()) return -1;
        const auto stall = static_cast<int>(pass_limits.stall.count());
        return stall < kStallCheckMs ? stall : kStallCheckMs;
    }
};

int Connection::pass(const platform::PollEvent* events, size_t n) {
    Pass pass{*this};
    pass.collect(events, n);
    pass.read();
    pass.admit_all();
    pass.relay();
    pass.watch_outboxes();
    return pass.next_wait();
}

}  // namespace kiv
