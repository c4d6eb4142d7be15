// Unloading kiv.dll with live connections: at process exit (return from main, ExitProcess) and by FreeLibrary.
//
// Usage: kiv_wine_unload return|exitprocess|freelibrary
// "return" and "exitprocess" leave servers, players, clients and a UDP
// endpoint running, with traffic in flight, and end the process; the caller
// checks that it ends in time with status 0. "freelibrary" runs checks and
// prints "N passed, N failed".
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

// Winsock's header before windows.h, which would bring the old one.
#include "support/sockets.h"
#include "kiv_loader.h"
#include "summary.h"

using namespace wt;

namespace {

struct Live {
    std::vector<double> handles;
    test::Listener raw_listener;
    test::sock_t raw_peer = test::kNoSocket;
};

// Opens one of everything and keeps every worker busy; true when all of it
// came up.
bool open_live(Kiv& k, Live& live) {
    bool ok = true;
    const double server = k.listen(0, 3, 10);
    const double typed_port = k.local_port(server);
    ok = ok && server > 0;
    std::vector<double> players;
    for (int i = 0; i < 3; ++i) {
        const double p = k.connect("127.0.0.1", typed_port, 3);
        ok = ok && p > 0 && k.player_id(p) == i + 1;
        players.push_back(p);
    }
    const double plain = k.listen(0, 1, 0);
    const double plain_port = k.local_port(plain);
    const double client = k.connect("127.0.0.1", plain_port, 1);
    double accepted = 0;
    test::wait_until([&] {
        accepted = k.accept(plain);
        return k.valid(accepted) == 1;
    });
    ok = ok && plain > 0 && client > 0 && k.valid(accepted) == 1;
    const double udp = k.connect("", 0, 4);
    ok = ok && udp > 0;

    // A client whose raw peer floods it with one endless record.
    const double flooded = k.connect("127.0.0.1", live.raw_listener.port, 1);
    live.raw_peer = live.raw_listener.accept_one();
    ok = ok && flooded > 0 && live.raw_peer != test::kNoSocket;
    test::write_all(live.raw_peer, std::string(1 << 20, 'x'));

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

TEST(FreeLibrary, WithoutConnectionsUnloads) {
    Kiv k;
    EXPECT_TRUE(load(k));
    EXPECT_EQ(k.valid(1), 0);
    EXPECT_EQ(std::string(k.pack_normal(2008)), "\xFF\xFF");
    EXPECT_TRUE(FreeLibrary(k.lib));
    EXPECT_TRUE(!module_loaded());
}

TEST(FreeLibrary, AfterDisconnectingEverythingUnloads) {
    Kiv k;
    EXPECT_TRUE(load(k));
    Live live;
    EXPECT_TRUE(open_live(k, live));
    for (double h : live.handles) k.disconnect(h);
    for (double h : live.handles) EXPECT_EQ(k.valid(h), 0);
    EXPECT_TRUE(FreeLibrary(k.lib));
    EXPECT_TRUE(!module_loaded());
}

TEST(FreeLibrary, WithLiveConnectionsReturnsAndKeepsThem) {
    Kiv k;
    EXPECT_TRUE(load(k));
    Live live;
    EXPECT_TRUE(open_live(k, live));
    // Returns at once: the connections hold the library, so nothing is
    // unloaded (or joined under the loader lock) now.
    EXPECT_TRUE(FreeLibrary(k.lib));
    EXPECT_TRUE(module_loaded());
    // Loading it again gives the same instance with its connections.
    Kiv again;
    EXPECT_TRUE(load(again));
    EXPECT_TRUE(again.lib == k.lib);
    for (double h : live.handles) EXPECT_EQ(again.valid(h), 1);
    EXPECT_EQ(again.token_send(live.handles[5], "still here", "", 0), 1);
    EXPECT_TRUE(test::wait_until([&] { return again.token_receive(live.handles[6]) == 1 &&
                                  std::string(again.token_value(live.handles[6])) == "still here"; },
                     10000));
    // Once the script lets go of every connection, its FreeLibrary unloads.
    for (double h : live.handles) again.disconnect(h);
    EXPECT_TRUE(FreeLibrary(again.lib));
    EXPECT_TRUE(!module_loaded());
    // A fresh load starts empty.
    Kiv fresh;
    EXPECT_TRUE(load(fresh));
    EXPECT_EQ(fresh.valid(1), 0);
    EXPECT_TRUE(FreeLibrary(fresh.lib));
    EXPECT_TRUE(!module_loaded());
}

TEST(FreeLibrary, WithLiveConnectionsThenProcessExit) {
    // Left loaded on purpose: the process ends with these still running
    // (the caller checks that it ends, with status 0).
    Kiv k;
    EXPECT_TRUE(load(k));
    static Live live;
    EXPECT_TRUE(open_live(k, live));
    EXPECT_TRUE(FreeLibrary(k.lib));
    EXPECT_TRUE(module_loaded());
}

}  // namespace

int main(int argc, char** argv) {
    test::start_sockets();
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "return") return exit_with_live_connections(false);
    if (mode == "exitprocess") return exit_with_live_connections(true);
    if (mode == "freelibrary") {
        // In the order written: the last leaves the library loaded on purpose.
        testing::InitGoogleTest(&argc, argv);
        return wt::summary(RUN_ALL_TESTS());
    }
    std::printf("usage: %s return|exitprocess|freelibrary\n", argv[0]);
    return 2;
}
