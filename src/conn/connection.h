// Connection: what a handle names. It joins a transport (a link, or a hub for
// a server) to the four families' state, dispatches each record to the
// family that owns it, and on a player server runs the pass.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "files/files.h"
#include "messages/messages.h"
#include "net/hub.h"
#include "net/link.h"
#include "net/mutex.h"
#include "shared_data/shared_data.h"
#include "tokens/tokens.h"

namespace kiv {

enum Kind : uint8_t { kNotConnected = 0, kPlain = 1, kRelay = 2, kTyped = 3, kDatagram = 4 };

// How long a player with bytes waiting may take none before its server
// drops it (it holds the room back meanwhile). Tests shorten it.
struct PassLimits {
    std::chrono::milliseconds stall{30000};
};
extern PassLimits pass_limits;

class Connection final : public net::Handler, public net::HubHandler {
public:
    Connection();
    ~Connection() override;
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // kind falls to kNotConnected at teardown; opened_kind keeps what it was
    // opened as, for what stays readable afterwards.
    std::atomic<uint8_t> kind{kNotConnected};
    uint8_t opened_kind = kNotConnected;
    std::atomic<uint8_t> listening{0};
    // The handle the script knows it by (a player: its server's), for the trace.
    std::atomic<int32_t> handle{0};
    bool is_player = false;  // a player inside a server: read by the server's hub

    // Guards the link's receive side, the families' queues and the slot
    // table. A server's pass holds its server's, then one player's.
    net::Mutex mutex;
    // Signalled when records arrive, a transfer ends or the connection ends.
    net::CondVar arrived;

    std::unique_ptr<net::Link> link;  // a client, an accepted client or a player
    std::unique_ptr<net::Hub> hub;    // a server: its listener (and thread, for a player server)

    tokens::Box tokens;
    messages::Box messages;
    shared_data::Table data;
    files::Transfer file;

    // A player server: entry i is player number i + 1; an entry is emptied
    // when its player departs (numbers are never given twice). Only the
    // hub's thread changes the list (and teardown, once the hub stopped), so
    // the pass reads it without players_lock; others read it under the lock.
    std::mutex players_lock;
    std::vector<std::shared_ptr<Connection>> players;
    std::atomic<uint32_t> live_players{0};
    uint32_t max_players = 0;
    int16_t player_number = 0;  // a typed client's own number, or a player's own

    bool connected() const { return kind.load() != kNotConnected; }
    bool is_listening() const { return listening.load() != 0; }
    // Usable: a server, or a connection whose peer has not gone for good.
    bool usable() const;

    // Blocks until pred holds (true) or the connection ends (false). pred
    // runs with the mutex held.
    template <typename Pred>
    bool wait_for(Pred pred) {
        net::UniqueLock lk(mutex);
        arrived.wait(lk, [&] { return pred() || !connected(); });
        return pred();
    }

    // After the script took a record: the link may read again, or notice
    // that a departed peer has now been taken in full. Needs the mutex.
    void taken();

    // Player number n (1-based), or null.
    std::shared_ptr<Connection> player_at(int64_t n);
    // A player server's record from the script (any host thread) to every
    // player, or to one.
    void send_to_players(const std::string& rec);
    void send_to_player(Connection& p, const std::string& rec);

    // net::Handler
    void on_record(const char* rec, uint32_t n, uint32_t from_addr, uint16_t from_port) override;
    bool accepting() override;
    bool drained() override;
    void on_teardown() override;
    void on_event() override;
    // net::HubHandler: the server pass (server.cpp).
    int pass(const platform::PollEvent* events, size_t n) override;

    // Releases what the connection holds on the network and marks it not
    // connected; needs the mutex.
    void finish();
    // True for the one caller that gets to tear the connection down.
    bool claim_teardown() { return !torn_down_.exchange(true); }

private:
    friend struct Pass;
    bool throttled_ = false;  // stopped reading for a script that took nothing
    void request_flush(const uint32_t* numbers, size_t n);

    // ---- A player's part in its server's pass (hub thread only).
    std::string gather_;     // records for this player, written once per pass
    bool dirty_ = false;     // gather_ holds bytes
    bool read_now_ = false;  // in this pass's list of players to read
    bool out_waiting_ = false;  // in the server's list of outboxes to watch

    // ---- A player server's pass state (hub thread only, but for
    // flush_requests_, which host threads add to under players_lock).
    std::vector<uint32_t> to_read_;      // player numbers to read this pass
    std::vector<Connection*> reading_;   // the same players, kept alive by players or leaving_
    std::vector<uint32_t> carry_;        // stopped at their share: read again at once
    std::vector<uint32_t> dirty_list_;   // players whose gather_ holds bytes
    std::vector<uint32_t> out_waiting_list_;  // players whose outbox holds bytes
    std::vector<uint32_t> flush_requests_;    // the script's sends left bytes waiting
    std::vector<std::shared_ptr<Connection>> leaving_;  // released this pass, records still to relay
    bool room_held_ = false;  // a reader fell behind: nobody is read until it catches up

    std::atomic<bool> torn_down_{false};
};

}  // namespace kiv
