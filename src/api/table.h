// The connection table, handles, the current connection and the validity check.
#pragma once

#include <cstdint>
#include <memory>

#include "conn/connection.h"

namespace kiv::api {

using Ref = std::shared_ptr<Connection>;

// Every export holds a reference to its connection while it runs, so a
// kiv_disconnect from another thread never frees a connection under a call
// that is still using it (a wait then ends with its failure value).

// Handle 0 names the current connection; handle n >= 1 the table entry n - 1.
// Null when the handle names nothing.
Ref resolve(double handle);
// The validity check: a listening connection always passes; any other must
// still have its peer (or records from it the script has not taken).
bool valid(const Ref& c);
// resolve + valid. The accessors of the current token and message, and the
// progress of a file transfer, use resolve alone: what the script already
// has stays readable after the peer has gone.
Ref checked(double handle);

// Enters c (possibly null) in the first empty entry or a new one at the end;
// returns the handle.
double enter(const Ref& c);
void set_current(const Ref& c);
Ref current();

// Tears the named connection down; for a handle of 1 or more it is also
// removed from the table (also when it was already torn down).
double disconnect(double handle);

// Destroys every entry in table order and empties the table (library unload).
void clear_table();
uint32_t table_count();

}  // namespace kiv::api
