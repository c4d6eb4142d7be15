// Tokens: delimiter-ended lines on every kind of connection.
#pragma once

#include <cstdint>

#include "net/connection.h"

namespace kiv {

class PassOutput;

// Puts one token record on c: on a typed server, to every player; on a
// datagram connection, one datagram to host:port. False when c cannot carry
// it (not connected, a plain server, a file transfer under way, a line end in
// a typed token) and, on a datagram connection, when the destination does
// not resolve or the system did not take the datagram. Whether a stream
// socket took the bytes does not change the result.
bool send_token(Connection& c, const char* text, const char* host, uint16_t port);

// kiv_token_delimiter: kinds 1 and 4 only, never on a server.
bool set_delimiter(Connection& c, const char* delimiter);

// Moves the oldest queued token into the current token.
bool take_token(Connection& c);
// Blocks until a token is queued (true), or until c is torn down or can
// never deliver one (false).
bool wait_token(Connection& c);
const char* token_value(Connection& c);
const char* token_ipaddress(Connection& c);

// Server pass: moves player i's tokens into the server's queue and, through
// the pass's output, to every other player. Caller holds the server's mutex.
void relay_player_tokens(Connection& server, Connection& player, size_t i, PassOutput& out);

}  // namespace kiv
