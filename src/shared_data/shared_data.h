// Shared data: 256 slots of integers or strings mirrored between a server and its players.
#pragma once

#include <cstdint>

#include "net/connection.h"

namespace kiv {

class PassOutput;

// Sets a slot: sends the data record (on a server, to every player) and
// stores it in c's own table. False, with nothing stored or sent, on a
// connection that is not typed, for slots the record cannot carry (outside
// 0..255, and 252 to 254), for an integer whose digits hold a 0 byte and for
// text holding a line end.
bool data_set_int(Connection& c, int32_t slot, int32_t value);
bool data_set_str(Connection& c, int32_t slot, const char* text);

// Reads; the failure values (0, "") for a connection that is not typed or a
// slot outside 0..255. A string read is the host's own copy, one per slot.
double data_type(Connection& c, int32_t slot);
double data_get_int(Connection& c, int32_t slot);
const char* data_get_str(Connection& c, int32_t slot);

// Receive-step dispatch of a "D" record (rec[0] == 'D'); caller holds c.mutex.
void apply_data_record(Connection& c, const uint8_t* rec, uint32_t n);

// Sends a new player every slot of the server's table that differs from an
// empty one, in slot order, integers with the digits the other players got.
// Caller holds the server's mutex.
void send_join_snapshot(Connection& server, Connection& player);

// Server pass: stores player i's changes and forwards them, through the
// pass's output, to every other player. Caller holds the server's mutex.
void apply_player_changes(Connection& server, Connection& player, size_t i, PassOutput& out);

}  // namespace kiv
