// What the exports do on a connection: each family's operations, routed to
// the one peer of a client or to the players of a server.
#pragma once

#include <cstdint>

#include "conn/connection.h"

namespace kiv {

// Tokens. send_token: on a player server to every player; on a datagram
// endpoint one datagram to host:port. False (with the reason noted) when c
// cannot carry it.
bool send_token(Connection& c, const char* text, const char* host, uint16_t port);
bool set_delimiter(Connection& c, const char* delimiter);
bool take_token(Connection& c);
// Blocks until a token is queued (true), or c ends or can never deliver one.
bool wait_token(Connection& c);
const char* token_value(Connection& c);
const char* token_ipaddress(Connection& c);
double token_port(Connection& c);
// Waits up to timeout_ms for the next token and takes its text (null: drops
// it), for handshakes and the address query.
bool take_line(Connection& c, int timeout_ms, ByteString* text);

// Messages.
bool send_message(Connection& c, int32_t id, int32_t player, const char* value);
bool take_message(Connection& c);
bool wait_message(Connection& c);
const char* message_value(Connection& c);
double message_id(Connection& c);
double message_player(Connection& c);

// Shared data.
bool data_set_int(Connection& c, int32_t slot, int32_t value);
bool data_set_str(Connection& c, int32_t slot, const char* text);
double data_type(Connection& c, int32_t slot);
double data_get_int(Connection& c, int32_t slot);
const char* data_get_str(Connection& c, int32_t slot);

// Files.
bool file_send(Connection& c, const char* name);
bool file_receive(Connection& c, const char* name, int32_t size);
double file_wait(Connection& c);
double file_size(const char* name);

// Players: how many are connected to a player server now.
double player_count(Connection& c);

}  // namespace kiv
