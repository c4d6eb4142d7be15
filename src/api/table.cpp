// The connection table and the handle rules.
#include "api/table.h"

#include <mutex>
#include <vector>

#include "api/convert.h"
#include "conn/failure.h"
#include "conn/open.h"

namespace kiv::api {

namespace {

struct Table {
    // Hosts may call from more than one thread (a blocking wait on a worker
    // thread is common), so the table has a lock; it is never held while a
    // call waits or works on a connection.
    std::mutex lock;
    std::vector<Ref> entries;
    Ref current;
    // Unload: every connection still entered is destroyed, in table order,
    // stopping its threads first, so that none outlives the library. Not at
    // process exit on Windows: the system has already ended those threads,
    // maybe inside a lock, and reclaims the sockets and memory itself.
    ~Table() {
        if (process_exiting()) {
            for (Ref& c : entries) new Ref(std::move(c));  // left to the system
            Ref* keep = new Ref(std::move(current));
            (void)keep;
            return;
        }
        clear();
    }
    void clear() {
        std::vector<Ref> gone;
        {
            std::lock_guard<std::mutex> lk(lock);
            current.reset();
            gone.swap(entries);
        }
        for (Ref& c : gone) c.reset();
        reap_threads();
    }
};

Table& table() {
    static Table t;
    return t;
}

// The entry a handle of 1 or more names, as an index; size_t(-1) otherwise.
size_t index_of(double handle) {
    if (handle == 0.0) return static_cast<size_t>(-1);
    return static_cast<uint32_t>(to_i32(handle)) - 1u;
}

}  // namespace

Ref resolve(double handle) {
    Ref c;
    {
        Table& t = table();
        std::lock_guard<std::mutex> lk(t.lock);
        if (handle == 0.0) {
            c = t.current;
        } else {
            const size_t index = index_of(handle);
            if (index < t.entries.size()) c = t.entries[index];
        }
    }
    if (!c) note_failure("handle %g names no connection", handle);
    return c;
}

bool valid(const Ref& c) { return c && c->usable(); }

Ref checked(double handle) {
    Ref c = resolve(handle);
    if (!c || valid(c)) return c;
    note_failure("handle %g: the connection has ended", handle);
    return nullptr;
}

double enter(const Ref& c) {
    Table& t = table();
    std::lock_guard<std::mutex> lk(t.lock);
    for (size_t i = 0; i < t.entries.size(); ++i) {
        if (!t.entries[i]) {
            t.entries[i] = c;
            return static_cast<double>(i + 1);
        }
    }
    t.entries.push_back(c);
    return static_cast<double>(t.entries.size());
}

void set_current(const Ref& c) {
    Table& t = table();
    std::lock_guard<std::mutex> lk(t.lock);
    t.current = c;
}

Ref current() {
    Table& t = table();
    std::lock_guard<std::mutex> lk(t.lock);
    return t.current;
}

double disconnect(double handle) {
    Ref c = resolve(handle);
    if (!c) return 0.0;
    const bool torn_down = valid(c) && teardown(*c);
    if (!torn_down) note_failure("handle %g: the connection had already ended", handle);
    Table& t = table();
    Ref gone;
    {
        std::lock_guard<std::mutex> lk(t.lock);
        const size_t index = index_of(handle);
        // Only the entry that still holds what was torn down: another thread
        // may have been given the number since. A connection its worker
        // already tore down is freed too, so a long-running server does not
        // keep one entry per departed client.
        if (index < t.entries.size() && t.entries[index] == c) {
            if (t.current == c) t.current.reset();
            gone.swap(t.entries[index]);
        }
    }
    gone.reset();
    reap_threads();
    return torn_down ? 1.0 : 0.0;
}

void clear_table() { table().clear(); }

uint32_t table_count() {
    Table& t = table();
    std::lock_guard<std::mutex> lk(t.lock);
    return static_cast<uint32_t>(t.entries.size());
}

}  // namespace kiv::api
