// The connection table and the handle rules.
#include "frame/table.h"

#include <vector>

#include "frame/convert.h"
#include "net/teardown.h"

namespace kiv::frame {

namespace {

// Touched only by export calls on the host's one thread, so no lock.
struct Table {
    std::vector<Connection*> entries;
    Connection* current = nullptr;
    // Unload: every connection still entered is destroyed, in table order,
    // stopping its threads first, so that none outlives the library. Not at
    // process exit on Windows: the system has already ended those threads,
    // maybe inside a lock, and reclaims the sockets and memory itself.
    ~Table() {
        if (!platform::process_exiting()) clear();
    }
    void clear() {
        current = nullptr;
        for (Connection*& c : entries) {
            delete c;
            c = nullptr;
        }
        entries.clear();
    }
};

Table& table() {
    static Table t;
    return t;
}

char g_result[kResultBufferSize];

}  // namespace

Connection* resolve(double handle) {
    Table& t = table();
    if (handle == 0.0) return t.current;
    const uint32_t index = static_cast<uint32_t>(to_i32(handle)) - 1u;
    return index < t.entries.size() ? t.entries[index] : nullptr;
}

bool valid(Connection* c) {
    if (!c) return false;
    if (c->is_listening()) return true;
    return alive(*c);
}

Connection* checked(double handle) {
    Connection* c = resolve(handle);
    return valid(c) ? c : nullptr;
}

double enter(Connection* c) {
    Table& t = table();
    for (size_t i = 0; i < t.entries.size(); ++i) {
        if (!t.entries[i]) {
            t.entries[i] = c;
            return static_cast<double>(i + 1);
        }
    }
    t.entries.push_back(c);
    return static_cast<double>(t.entries.size());
}

void set_current(Connection* c) { table().current = c; }

Connection* current() { return table().current; }

double disconnect(double handle) {
    Table& t = table();
    Connection* c = resolve(handle);
    if (!c) return 0.0;
    const bool torn_down = valid(c) && teardown(*c);
    const uint32_t index = static_cast<uint32_t>(to_i32(handle)) - 1u;
    if (handle != 0.0 && index < t.entries.size() && t.entries[index]) {
        // Also a connection its worker already tore down: a long-running
        // server must not keep one entry per departed client.
        if (t.current == t.entries[index]) t.current = nullptr;
        delete t.entries[index];
        t.entries[index] = nullptr;
    }
    return torn_down ? 1.0 : 0.0;
}

void clear_table() { table().clear(); }

uint32_t table_count() { return static_cast<uint32_t>(table().entries.size()); }

const char* empty_string() { return ""; }

char* result_buffer() { return g_result; }

}  // namespace kiv::frame
