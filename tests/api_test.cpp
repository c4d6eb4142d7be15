// Handles, the connection table, the current connection and the validity check.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "conn/connection.h"
#include "conn/trace.h"
#include "support/internals.h"
#include "support/temp_dir.h"

namespace {

double plain_server() { return kiv_listen(0, 1, 0); }

TEST(Frame, EmptyTableNamesNothing) {
    EXPECT_EQ(kiv_valid(0), 0);
    EXPECT_EQ(kiv_valid(1), 0);
    EXPECT_EQ(kiv_disconnect(0), 0);
    EXPECT_EQ(kiv_disconnect(1), 0);
    EXPECT_STREQ(kiv_token_value(1), "");
    EXPECT_STREQ(kiv_message_value(0), "");
    EXPECT_STREQ(kiv_data_get_str(3, 0), "");
    EXPECT_EQ(kiv_player_id(1), 0);
    EXPECT_EQ(kiv_token_send(1, "x", "", 0), 0);
    EXPECT_EQ(kiv_file_percentage(1), 0);
}

TEST(Frame, HandleResolution) {
    ASSERT_EQ(plain_server(), 1);
    EXPECT_EQ(kiv_valid(1), 1);
    EXPECT_EQ(kiv_valid(1.9), 1);
    EXPECT_EQ(kiv_valid(0.5), 0);
    EXPECT_EQ(kiv_valid(-0.5), 0);
    EXPECT_EQ(kiv_valid(-1), 0);
    EXPECT_EQ(kiv_valid(NAN), 0);
    EXPECT_EQ(kiv_valid(INFINITY), 0);
    EXPECT_EQ(kiv_valid(1e300), 0);
    EXPECT_EQ(kiv_valid(-1e300), 0);
    EXPECT_EQ(kiv_valid(4294967297.0), 0);  // would wrap to 1 if narrowed carelessly
    EXPECT_EQ(kiv_valid(2), 0);
    EXPECT_EQ(kiv_valid(0), 1);  // the current connection
}

TEST(Frame, TableEntriesAreReused) {
    EXPECT_EQ(plain_server(), 1);
    EXPECT_EQ(plain_server(), 2);
    EXPECT_EQ(plain_server(), 3);
    EXPECT_EQ(kiv_disconnect(2), 1);
    EXPECT_EQ(kiv_disconnect(2), 0);
    EXPECT_EQ(kiv_valid(2), 0);
    EXPECT_EQ(plain_server(), 2);
    EXPECT_EQ(kiv::api::table_count(), 3u);
    EXPECT_EQ(kiv_disconnect(1), 1);
    EXPECT_EQ(plain_server(), 1);
}

TEST(Frame, CurrentConnectionRules) {
    ASSERT_EQ(plain_server(), 1);
    kiv::api::Ref first = kiv::api::current();
    // A failed connect leaves the current connection alone.
    EXPECT_EQ(kiv_connect("127.0.0.1", 1, 0), 0);
    EXPECT_EQ(kiv_connect("127.0.0.1", 1, 5), 0);
    EXPECT_EQ(kiv_connect("127.0.0.1", 1, 70000), 0);
    EXPECT_EQ(kiv_listen(0, 2, 0), 0);
    EXPECT_EQ(kiv_listen(0, 4, 0), 0);
    EXPECT_EQ(kiv::api::current(), first);
    EXPECT_EQ(kiv::api::table_count(), 1u);
    ASSERT_EQ(plain_server(), 2);
    EXPECT_NE(kiv::api::current(), first);
    // Disconnecting the current connection by its handle: handle 0 no longer reaches it.
    EXPECT_EQ(kiv_disconnect(2), 1);
    EXPECT_EQ(kiv::api::current(), nullptr);
    EXPECT_EQ(kiv_valid(0), 0);
}

TEST(Frame, DisconnectThroughHandleZeroKeepsTheEntry) {
    ASSERT_EQ(plain_server(), 1);
    EXPECT_EQ(kiv_disconnect(0), 1);
    // A torn-down server keeps its listening flag, so it still passes the check,
    // but there is nothing left to tear down.
    EXPECT_EQ(kiv_valid(0), 1);
    EXPECT_EQ(kiv_disconnect(0), 0);
    EXPECT_EQ(kiv::api::table_count(), 1u);
    EXPECT_EQ(plain_server(), 2);
    // Disconnecting it by handle frees the entry even though nothing was torn down.
    EXPECT_EQ(kiv_disconnect(1), 0);
    EXPECT_EQ(plain_server(), 1);
}

TEST(Frame, AcceptWithNobodyWaitingEntersOneEmptyEntry) {
    ASSERT_EQ(plain_server(), 1);
    const double empty = kiv_accept(1);
    EXPECT_EQ(empty, 2);
    EXPECT_EQ(kiv_valid(empty), 0);
    EXPECT_EQ(kiv_valid(0), 0);  // no current connection now
    EXPECT_EQ(kiv_accept(1), 2);
    EXPECT_EQ(kiv::api::table_count(), 2u);
    int client = test::connect_to(test::port_of_handle(1));
    ASSERT_GE(client, 0);
    double h = 0;
    ASSERT_TRUE(test::wait_until([&] {
        h = kiv_accept(1);
        return kiv_valid(h) == 1;
    }));
    EXPECT_EQ(h, 2);
    EXPECT_EQ(kiv_valid(0), 1);
    // A bad server handle changes nothing.
    EXPECT_EQ(kiv_accept(7), 0);
    EXPECT_EQ(kiv_valid(0), 1);
    close(client);
}

TEST(Frame, StartupCountPairsWithConnections) {
    const int before = kiv::platform::startup_count();
    {
        kiv::Connection a, b, c;
        EXPECT_EQ(kiv::platform::startup_count(), before + 3);
        EXPECT_EQ(a.kind.load(), 0);
        EXPECT_EQ(a.link, nullptr);
        EXPECT_EQ(a.tokens.queue.size(), 0u);
        EXPECT_EQ(a.data.slots, nullptr);
    }
    EXPECT_EQ(kiv::platform::startup_count(), before);
}

// KIV_TRACE: a line per connection opened and closed and per record, bytes
// escaped; the version the library was built as.
TEST(Frame, TraceOfAShortSessionAndTheVersion) {
    EXPECT_STREQ(kiv_version(), KIV_VERSION_STRING);
    const test::TempDir dir;
    const std::string path = dir / "trace.txt";
    setenv("KIV_TRACE", path.c_str(), 1);
    kiv::trace::detail::state.store(0);  // read again, as at the first call of a process
    {
        test::PlainPair p;
        ASSERT_EQ(kiv_token_send(p.handle, "hi\x01", "", 0), 1);
        ASSERT_TRUE(test::write_all(p.peer, "back\n"));
        EXPECT_EQ(test::next_token(p.handle), "back");
        EXPECT_EQ(kiv_disconnect(p.handle), 1);
    }
    unsetenv("KIV_TRACE");
    kiv::trace::detail::state.store(0);
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line.substr(line.find(' ') + 1));
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0].rfind("handle=1 kind=plain opened local_port=", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find(" peer=127.0.0.1"), std::string::npos) << lines[0];
    EXPECT_EQ(lines[1], "handle=1 kind=plain dir=sent len=4 bytes=\"hi\\x01\\n\"");
    EXPECT_EQ(lines[2], "handle=1 kind=plain dir=received len=4 bytes=\"back\"");
    EXPECT_EQ(lines[3], "handle=1 kind=plain closed (by the script)");
}

TEST(Frame, Copyright) {
    const char* a = copyright();
    const std::string text = a;
    const char* b = copyright();
    EXPECT_EQ(a, b);
    EXPECT_EQ(text, b);
    EXPECT_NE(text.find("kiv"), std::string::npos);
    EXPECT_EQ(text.find('\n'), std::string::npos);
}

}  // namespace
