// Messages: id- and player-numbered values between a player server and its players.
#pragma once

#include <cstdint>

#include "net/connection.h"

namespace kiv {

class PassOutput;

// Sends (or, on a server to player 0, queues for the server's own script) one
// message. False on a connection that is not typed, and for what the record
// cannot carry: ids 252 to 254, a value holding a line end, and from a
// client, players below -1.
bool send_message(Connection& c, int32_t id, int32_t player, const char* value);

// Receive-step dispatch of an "M" record (rec[0] == 'M'); caller holds c.mutex.
void apply_message_record(Connection& c, const uint8_t* rec, uint32_t n);

bool take_message(Connection& c);
// True once a message is queued, at once on a connection that is not typed;
// false when c is torn down while waiting.
bool wait_message(Connection& c);
const char* message_value(Connection& c);
double message_id(Connection& c);
double message_player(Connection& c);

// Server pass: routes player i's messages by their target, to the server's
// queue and through the pass's output. Caller holds the server's mutex.
void route_player_messages(Connection& server, Connection& player, size_t i, PassOutput& out);

}  // namespace kiv
