// Test support that looks inside the library: the connection behind a handle.
#pragma once

#include "api/table.h"
#include "conn/connection.h"
#include "support.h"

namespace test {

inline kiv::Connection& conn(double handle) { return *kiv::api::resolve(handle); }

// Bytes a connection read and has not yet cut into records.
inline uint32_t held(double handle) {
    kiv::api::Ref c = kiv::api::resolve(handle);
    if (!c || !c->link) return 0;
    kiv::net::Lock lk(c->mutex);
    return c->link->held();
}

// Overrides platform calls for one test: the table is restored, after every
// connection (and so every thread that reads it) is gone, however the test
// ends. Change fields before any connection is opened.
struct CallsGuard {
    kiv::platform::Calls saved = kiv::platform::calls;
    kiv::platform::Calls& calls = kiv::platform::calls;
    ~CallsGuard() {
        kiv::api::clear_table();
        kiv::platform::calls = saved;
    }
};

}  // namespace test
