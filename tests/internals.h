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

}  // namespace test
