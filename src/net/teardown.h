// Teardown: ending a connection's life on the network.
#pragma once

#include "net/connection.h"

namespace kiv {

// Says goodbye to the relay service where there is one, stops the worker and
// any file transfer (waiting for them, never killing them), gives the peer a
// moment to take what is still queued for it, releases the slot table,
// closes the socket and marks the connection not connected. Run from any
// thread except the connection's own worker. linger: wait a moment for the
// socket to take what the script sent last. False when it was not connected.
bool teardown(Connection& c, bool linger = true);

// The same from the connection's own receive step (its worker, or the server
// pass for a player), with c.mutex held: nothing is waited for; the worker
// ends after the step returns.
bool teardown_in_step(Connection& c);

// Raises the stop flag, wakes the worker and joins it and the file-transfer
// thread. Never called from either of them.
void stop_threads(Connection& c);

}  // namespace kiv
