// The connection table, handles, the current connection and the validity check.
#pragma once

#include <cstdint>

#include "net/connection.h"

namespace kiv::frame {

// Handle 0 names the current connection; handle n >= 1 the table entry n - 1.
// Null when the handle names nothing.
Connection* resolve(double handle);
// The validity check: a listening connection always passes; any other must
// have an open socket that the liveness probe finds usable.
bool valid(Connection* c);
// resolve + valid: null unless the handle names a usable connection. The
// accessors of the current token and message, and the progress of a file
// transfer, use resolve alone: what the script already has stays readable
// after the peer has gone.
Connection* checked(double handle);

// Enters c (possibly null) in the first empty entry or a new one at the end;
// returns the handle.
double enter(Connection* c);
void set_current(Connection* c);
Connection* current();

// Tears the named connection down; for a handle of 1 or more it is also
// destroyed and its entry emptied (also when it was already torn down).
double disconnect(double handle);

// Destroys every entry in table order and empties the table (library unload).
void clear_table();
uint32_t table_count();

// The constant empty string every failing string export returns.
const char* empty_string();
// The 1024-byte buffer of the address query's answer.
constexpr uint32_t kResultBufferSize = 1024;
char* result_buffer();

}  // namespace kiv::frame
