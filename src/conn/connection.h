// Connection: what a handle names. It joins a transport (a link, or a hub for
// a server) to the four families' state, dispatches each record to the
// family that owns it, and on a player server runs the pass.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "files/files.h"
#include "messages/messages.h"
#include "net/hub.h"
#include "net/link.h"
#include "shared_data/shared_data.h"
#include "tokens/tokens.h"

namespace kiv {

enum Kind : uint8_t { kNotConnected = 0, kPlain = 1, kRelay = 2, kTyped = 3, kDatagram = 4 };

class Connection final : public net::Handler, public net::HubHandler {
public:
    Connection();
    ~Connection() override;
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    std::atomic<uint8_t> kind{kNotConnected};
    std::atomic<uint8_t> listening{0};
    bool is_player = false;  // a player inside a server: read by the server's hub

    // Guards the link's receive side, the families' queues and the slot
    // table. A server's pass holds its server's, then one player's.
    std::mutex mutex;
    // Signalled when records arrive, a transfer ends or the connection ends.
    std::condition_variable arrived;

    std::unique_ptr<net::Link> link;  // a client, an accepted client or a player
    std::unique_ptr<net::Hub> hub;    // a server: its listener (and thread, for a player server)

    tokens::Box tokens;
    messages::Box messages;
    shared_data::Table data;
    files::Transfer file;

    // A player server: entry i is player number i + 1; an entry is emptied
    // when its player departs (numbers are never given twice).
    std::mutex players_lock;
    std::vector<std::shared_ptr<Connection>> players;
    uint32_t max_players = 0;
    int16_t player_number = 0;  // a typed client's own number

    bool connected() const { return kind.load() != kNotConnected; }
    bool is_listening() const { return listening.load() != 0; }
    // Usable: a server, or a connection whose peer has not gone for good.
    bool usable() const;

    // Blocks until pred holds (true), the connection ends, or the deadline
    // passes (false). pred runs with the mutex held.
    template <typename Pred>
    bool wait_for(Pred pred, std::chrono::steady_clock::time_point deadline) {
        std::unique_lock<std::mutex> lk(mutex);
        arrived.wait_until(lk, deadline, [&] { return pred() || !connected(); });
        return pred();
    }
    template <typename Pred>
    bool wait_for(Pred pred) {
        std::unique_lock<std::mutex> lk(mutex);
        arrived.wait(lk, [&] { return pred() || !connected(); });
        return pred();
    }

    // After the script took a record: the link may read again, or notice
    // that a departed peer has now been taken in full. Caller holds mutex.
    void taken();

    // A player server's players, a copy (entries may be null).
    std::vector<std::shared_ptr<Connection>> player_list();
    // Player number n (1-based), or null.
    std::shared_ptr<Connection> player_at(int64_t n);

    // net::Handler
    void on_record(const char* rec, uint32_t n, uint32_t from) override;
    bool accepting() override;
    bool drained() override;
    void on_teardown() override;
    void on_event() override;
    // net::HubHandler: the server pass (server.cpp).
    bool pass(std::vector<net::Link*>& links) override;

    // Releases what the connection holds on the network and marks it not
    // connected; caller holds mutex.
    void finish();

private:
    bool throttled_ = false;  // stopped reading for a script that took nothing
};

}  // namespace kiv
