// Unloading kiv.dll with live connections: at process exit (return from main, ExitProcess) and by FreeLibrary.
//
// Usage: kiv_wine_unload return|exitprocess|freelibrary
// "return" and "exitprocess" leave servers, players, clients and a UDP
// endpoint running, with traffic in flight, and end the process; the caller
// checks that it ends in time with status 0. "freelibrary" runs checks and
// prints "N passed, N failed".
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "harness.h"
#include "kiv_loader.h"

using namespace wt;

namespace {

struct Live {
    std::vector<double> handles;
    RawListener raw_listener;
    Raw raw_peer;
};

// Opens one of everything and keeps every worker busy; true when all of it
// came up.
bool open_live(Kiv& k, Live& live) {
    bool ok = true;
    const uint16_t typed_port = free_tcp_port();
    const double server = k.listen(typed_port, 3, 10);
    ok = ok && server > 0;
    std::vector<double> players;
    for (int i = 0; i < 3; ++i) {
        const double p = k.connect("127.0.0.1", typed_port, 3);
        ok = ok && p > 0 && k.player_id(p) == i + 1;
        players.push_back(p);
    }
    const uint16_t plain_port = free_tcp_port();
    const double plain = k.listen(plain_port, 1, 0);
    const double client = k.connect("127.0.0.1", plain_port, 1);
    double accepted = 0;
    wait_until([&] {
        accepted = k.accept(plain);
        return k.valid(accepted) == 1;
    });
    ok = ok && plain > 0 && client > 0 && k.valid(accepted) == 1;
    const double udp = k.connect("", free_udp_port(), 4);
    ok = ok && udp > 0;

    // A client whose raw peer floods it with one endless record.
    const double flooded = k.connect("127.0.0.1", live.raw_listener.port, 1);
    live.raw_peer = live.raw_listener.accept_one();
    ok = ok && flooded > 0 && live.raw_peer.ok();
    live.raw_peer.write_all(std::string(1 << 20, 'x'));

    // Traffic in flight in every direction.
    for (int i = 0; i < 200; ++i) {
        k.token_send(client, "from the client", "", 0);
        k.token_send(accepted, "from the server side", "", 0);
        k.message_send(players[0], 5, -1, "to everybody");
        k.data_set_int(players[1], i % 200, i);
        k.token_send(server, "to every player", "", 0);
    }
    live.handles = {server, players[0], players[1], players[2], plain, client, accepted, udp, flooded};
    for (double h : live.handles) ok = ok && k.valid(h) == 1;
    return ok;
}

int exit_with_live_connections(bool exit_process) {
    Kiv k;
    if (!load(k)) {
        std::printf("cannot load %s\n", dll_path().c_str());
        return 1;
    }
    Live live;
    if (!open_live(k, live)) {
        std::printf("could not open the live connections\n");
        return 1;
    }
    std::printf("%zu live connections; %s\n", live.handles.size(),
                exit_process ? "calling ExitProcess" : "returning from main");
    std::fflush(stdout);
    if (exit_process) ExitProcess(0);
    return 0;
}

bool module_loaded() { return GetModuleHandleA("kiv.dll") != nullptr; }

int free_library_checks() {
    start_watchdog();

    run_test("freelibrary_without_connections_unloads", [] {
        Kiv k;
        CHECK(load(k));
        CHECK_EQ_NUM(k.valid(1), 0);
        CHECK_EQ_STR(k.pack_normal(2008), "\xFF\xFF");
        CHECK(FreeLibrary(k.lib));
        CHECK(!module_loaded());
    });

    run_test("freelibrary_after_disconnecting_everything_unloads", [] {
        Kiv k;
        CHECK(load(k));
        Live live;
        CHECK(open_live(k, live));
        for (double h : live.handles) k.disconnect(h);
        for (double h : live.handles) CHECK_EQ_NUM(k.valid(h), 0);
        CHECK(FreeLibrary(k.lib));
        CHECK(!module_loaded());
    });

    run_test("freelibrary_with_live_connections_returns_and_keeps_them", [] {
        Kiv k;
        CHECK(load(k));
        Live live;
        CHECK(open_live(k, live));
        // Returns at once: the connections hold the library, so nothing is
        // unloaded (or joined under the loader lock) now.
        const long long before = now_ms();
        CHECK(FreeLibrary(k.lib));
        CHECK(now_ms() - before < 5000);
        CHECK(module_loaded());
        // Loading it again gives the same instance with its connections.
        Kiv again;
        CHECK(load(again));
        CHECK(again.lib == k.lib);
        for (double h : live.handles) CHECK_EQ_NUM(again.valid(h), 1);
        CHECK_EQ_NUM(again.token_send(live.handles[5], "still here", "", 0), 1);
        CHECK(wait_until([&] { return again.token_receive(live.handles[6]) == 1 &&
                                      std::string(again.token_value(live.handles[6])) == "still here"; },
                         10000));
        // Once the script lets go of every connection, its FreeLibrary unloads.
        for (double h : live.handles) again.disconnect(h);
        CHECK(FreeLibrary(again.lib));
        CHECK(!module_loaded());
        // A fresh load starts empty.
        Kiv fresh;
        CHECK(load(fresh));
        CHECK_EQ_NUM(fresh.valid(1), 0);
        CHECK(FreeLibrary(fresh.lib));
        CHECK(!module_loaded());
    });

    run_test("freelibrary_with_live_connections_then_process_exit", [] {
        // Left loaded on purpose: the process ends with these still running
        // (the caller checks that it ends, with status 0).
        Kiv k;
        CHECK(load(k));
        static Live live;
        CHECK(open_live(k, live));
        CHECK(FreeLibrary(k.lib));
        CHECK(module_loaded());
    });

    return finish();
}

}  // namespace

int main(int argc, char** argv) {
    Winsock winsock;
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "return") return exit_with_live_connections(false);
    if (mode == "exitprocess") return exit_with_live_connections(true);
    if (mode == "freelibrary") return free_library_checks();
    std::printf("usage: %s return|exitprocess|freelibrary\n", argv[0]);
    return 2;
}
