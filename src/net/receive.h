// The receive worker, the receive step and the dispatch of complete records.
#pragma once

#include "net/connection.h"

namespace kiv {

// Starts c's receive worker: receive step, flush of the outbox, a 5 ms pause,
// until teardown stops it or a step finds the connection dead.
void start_worker(Connection& c);

// One receive step: completes and dispatches at most one record. Takes
// c.mutex for the whole step. On a listening typed server it runs the server
// pass instead. True when a record was dispatched.
bool receive_step(Connection& c);
// The same, reading at most *budget bytes from the socket (decremented):
// the server pass pumps each player only what it had ready.
bool receive_step_with_budget(Connection& c, size_t* budget);

// Hands one complete record (delimiter removed) to the family that owns it.
// Caller holds c.mutex.
void dispatch_record(Connection& c, const char* rec, uint32_t n, uint32_t from_addr);

// Where the delimiter search of the receive buffer starts after the delimiter
// changes: an empty delimiter cuts after the next byte that arrives.
void delimiter_changed(Connection& c);

}  // namespace kiv
