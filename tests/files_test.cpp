// File transfer end to end over loopback: raw sockets or a second kiv connection as the other side.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "conn/connection.h"
#include "support/internals.h"
#include "support/temp_dir.h"

using test::next_token;
using test::read_file;
using test::TempDir;
using test::write_file;
using test::read_n;
using test::wait_until;
using test::write_all;

namespace {

namespace fs = std::filesystem;

// Deterministic bytes of every value; the 600-byte form also holds empty
// lines, 0 bytes and no line end at the very end.
std::string content(size_t n, uint32_t seed = 1) {
    std::string s(n, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        s[i] = static_cast<char>(x & 0xFF);
    }
    if (n == 600) {
        for (size_t i : {10u, 51u, 299u, 400u}) s[i] = '\0';
        for (size_t i : {50u, 120u, 121u, 300u, 450u}) s[i] = '\n';
        if (s[599] == '\n') s[599] = 'z';
    }
    return s;
}

uint64_t fnv1a(const std::string& s) {
    uint64_t h = 1469598103934665603ull;
    for (unsigned char ch : s) h = (h ^ ch) * 1099511628211ull;
    return h;
}


// Waits with a deadline for the transfer thread to end, then asks
// kiv_file_wait, which no longer blocks.
double bounded_file_wait(double h, int timeout_ms = 20000) {
    if (!wait_until([&] { return test::conn(h).file.busy.load() == 0; }, timeout_ms)) return -1;
    return kiv_file_wait(h);
}

// A plain connection whose raw peer has a small receive window, so that it
// stops taking bytes soon when it does not read.
struct SlowPair {
    test::Listener listener;
    double handle = 0;
    test::sock_t peer = test::kNoSocket;
    SlowPair() {
        int small = 16 * 1024;
        setsockopt(listener.fd, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&small), sizeof small);
        handle = kiv_connect("127.0.0.1", listener.port, 1);
        peer = listener.accept_one();
    }
    ~SlowPair() {
        if (peer != test::kNoSocket) test::close_socket(peer);
    }
};

TEST(FileSize, RegularMissingEmptyFolderAndPastTwoGigabytes) {
    TempDir dir;
    write_file(dir / "a", std::string(1000, 'x'));
    write_file(dir / "empty", "");
    EXPECT_EQ(kiv_filesize((dir / "a").c_str()), 1000);
    EXPECT_EQ(kiv_filesize((dir / "missing").c_str()), 0);
    EXPECT_EQ(kiv_filesize((dir / "empty").c_str()), 0);
    EXPECT_EQ(kiv_filesize(dir.path.c_str()), 0);
    EXPECT_EQ(kiv_filesize(nullptr), 0);
    const std::string huge = dir / "huge";
    write_file(huge, "");
    fs::resize_file(huge, 3ull << 30);  // sparse: takes no room on disk
    EXPECT_EQ(kiv_filesize(huge.c_str()), 3221225472.0);
    test::PlainPair p;
    // Its size does not fit the transfer's count: refused, nothing changed.
    EXPECT_EQ(kiv_file_send(p.handle, huge.c_str()), 0);
    EXPECT_EQ(test::conn(p.handle).file.busy.load(), 0);
    EXPECT_EQ(kiv_token_send(p.handle, "ok", "", 0), 1);
    EXPECT_EQ(read_n(p.peer, 3), "ok\n");
}

TEST(FileSend, PeerGetsExactlyTheFileAndProgressEnds) {
    TempDir dir;
    const std::string bytes = content(600);
    write_file(dir / "f", bytes);
    test::PlainPair p;
    ASSERT_EQ(kiv_file_send(p.handle, (dir / "f").c_str()), 1);
    EXPECT_EQ(read_n(p.peer, 600), bytes);
    EXPECT_EQ(test::bounded_wait(kiv_file_wait, p.handle), 1);
    EXPECT_EQ(kiv_file_byte(p.handle), 600);
    EXPECT_EQ(kiv_file_percentage(p.handle), 100);
    EXPECT_EQ(test::read_quiet(p.peer, 50), "");
    // The connection is free again.
    EXPECT_EQ(kiv_token_send(p.handle, "ok", "", 0), 1);
    EXPECT_EQ(read_n(p.peer, 3), "ok\n");
}

TEST(FileSend, RecordsWaitingInTheOutboxGoFirst) {
    TempDir dir;
    const std::string bytes = content(600);
    write_file(dir / "f", bytes);
    SlowPair p;
    // More than the socket can hold: the rest of the token, and the size
    // token behind it, wait in the outbox when the file starts.
    const std::string big(6 * 1024 * 1024, 'a');
    ASSERT_EQ(kiv_token_send(p.handle, big.c_str(), "", 0), 1);
    ASSERT_EQ(kiv_token_send(p.handle, "600", "", 0), 1);
    {
        ASSERT_FALSE(test::conn(p.handle).link->outbox_empty());
    }
    ASSERT_EQ(kiv_file_send(p.handle, (dir / "f").c_str()), 1);
    const std::string got = read_n(p.peer, big.size() + 5 + 600, 30000);
    EXPECT_EQ(got, big + "\n600\n" + bytes);
    EXPECT_EQ(bounded_file_wait(p.handle), 1);
}

TEST(FileReceive, SizeTokenThenFileThenTokenAfterIt) {
    TempDir dir;
    const std::string bytes = content(600);
    test::PlainPair p;
    ASSERT_TRUE(write_all(p.peer, "600\n" + bytes.substr(0, 100)));
    ASSERT_EQ(next_token(p.handle), "600");
    ASSERT_EQ(kiv_file_receive(p.handle, (dir / "g").c_str(), 600), 1);
    ASSERT_TRUE(wait_until([&] { return kiv_file_byte(p.handle) == 100; }));
    // The file's end and the next token arrive together.
    ASSERT_TRUE(write_all(p.peer, bytes.substr(100) + "after\n"));
    EXPECT_EQ(bounded_file_wait(p.handle), 1);
    EXPECT_EQ(read_file(dir / "g"), bytes);
    EXPECT_EQ(kiv_file_byte(p.handle), 600);
    EXPECT_EQ(kiv_file_percentage(p.handle), 100);
    EXPECT_EQ(next_token(p.handle), "after");
}

TEST(FileReceive, TokensAndPartialLineAlreadyCutGoIntoTheFile) {
    TempDir dir;
    const std::string bytes = content(600);
    const uint32_t lines = static_cast<uint32_t>(std::count(bytes.begin(), bytes.end(), '\n'));
    const uint32_t tail = static_cast<uint32_t>(bytes.size() - bytes.rfind('\n') - 1);
    test::PlainPair p;
    ASSERT_TRUE(write_all(p.peer, "600\n" + bytes));
    // Every line of the file is a queued token and its last part waits in
    // the receive buffer before the script asks for the file.
    kiv::Connection* c = &test::conn(p.handle);
    ASSERT_TRUE(wait_until([&] { return c->tokens.queue.size() == 1 + lines && test::held(p.handle) == tail; }));
    ASSERT_EQ(next_token(p.handle), "600");
    ASSERT_EQ(kiv_file_receive(p.handle, (dir / "g").c_str(), 600), 1);
    EXPECT_EQ(bounded_file_wait(p.handle), 1);
    EXPECT_EQ(read_file(dir / "g"), bytes);
    EXPECT_EQ(c->tokens.queue.size(), 0u);
    ASSERT_TRUE(write_all(p.peer, "next\n"));
    EXPECT_EQ(next_token(p.handle), "next");
}

TEST(FileReceive, BytesPastTheSizeStayTokensInOrder) {
    TempDir dir;
    test::PlainPair p;
    ASSERT_TRUE(write_all(p.peer, "7\n0123\n5678\nXY\nZ"));
    kiv::Connection* c = &test::conn(p.handle);
    ASSERT_TRUE(wait_until([&] { return c->tokens.queue.size() == 4 && test::held(p.handle) == 1; }));
    ASSERT_EQ(next_token(p.handle), "7");
    // The file ends inside the token "5678".
    ASSERT_EQ(kiv_file_receive(p.handle, (dir / "g").c_str(), 7), 1);
    EXPECT_EQ(bounded_file_wait(p.handle), 1);
    EXPECT_EQ(read_file(dir / "g"), "0123\n56");
    EXPECT_EQ(next_token(p.handle), "78");
    EXPECT_EQ(next_token(p.handle), "XY");
    ASSERT_TRUE(write_all(p.peer, "\n"));
    EXPECT_EQ(next_token(p.handle), "Z");
}

TEST(FileReceive, ZeroAndNegativeSizesTakeNothing) {
    TempDir dir;
    test::PlainPair p;
    ASSERT_TRUE(write_all(p.peer, "a\nb"));
    kiv::Connection* c = &test::conn(p.handle);
    ASSERT_TRUE(wait_until([&] { return c->tokens.queue.size() == 1 && test::held(p.handle) == 1; }));
    ASSERT_EQ(kiv_file_receive(p.handle, (dir / "zero").c_str(), 0), 1);
    EXPECT_EQ(bounded_file_wait(p.handle), 0);  // nothing to complete
    EXPECT_TRUE(fs::exists(dir / "zero"));
    EXPECT_EQ(fs::file_size(dir / "zero"), 0u);
    ASSERT_EQ(kiv_file_receive(p.handle, (dir / "neg").c_str(), -5), 1);
    EXPECT_EQ(bounded_file_wait(p.handle), 0);
    EXPECT_EQ(fs::file_size(dir / "neg"), 0u);
    EXPECT_EQ(kiv_file_byte(p.handle), 0);
    EXPECT_EQ(kiv_file_percentage(p.handle), 0);
    EXPECT_EQ(next_token(p.handle), "a");
    ASSERT_TRUE(write_all(p.peer, "\n"));
    EXPECT_EQ(next_token(p.handle), "b");
}

TEST(FileTransfer, FiftyMegabytesBothWaysBetweenKivConnections) {
    TempDir dir;
    const std::string bytes = content(50u * 1000 * 1000, 7);
    write_file(dir / "src", bytes);
    const double server = kiv_listen(0, 1, 0);
    ASSERT_GT(server, 0);
    const double a = kiv_connect("127.0.0.1", test::port_of_handle(server), 1);
    ASSERT_GT(a, 0);
    const double b = kiv_accept(server);
    ASSERT_EQ(kiv_valid(b), 1);

    ASSERT_EQ(kiv_file_receive(b, (dir / "mid").c_str(), static_cast<double>(bytes.size())), 1);
    ASSERT_EQ(kiv_file_send(a, (dir / "src").c_str()), 1);
    EXPECT_EQ(bounded_file_wait(a, 60000), 1);
    EXPECT_EQ(bounded_file_wait(b, 60000), 1);
    EXPECT_EQ(kiv_file_byte(b), bytes.size());
    EXPECT_EQ(kiv_file_percentage(b), 100);  // done * 100 passes 32 bits here

    ASSERT_EQ(kiv_file_send(b, (dir / "mid").c_str()), 1);
    ASSERT_EQ(kiv_file_receive(a, (dir / "back").c_str(), static_cast<double>(bytes.size())), 1);
    EXPECT_EQ(bounded_file_wait(b, 60000), 1);
    EXPECT_EQ(bounded_file_wait(a, 60000), 1);
    EXPECT_EQ(fnv1a(read_file(dir / "mid")), fnv1a(bytes));
    EXPECT_EQ(fnv1a(read_file(dir / "back")), fnv1a(bytes));

    // Both ends take tokens again.
    ASSERT_EQ(kiv_token_send(a, "done", "", 0), 1);
    EXPECT_EQ(next_token(b), "done");
}

TEST(FileTransfer, RefusedWhileBusyAndTokensWaitForTheEnd) {
    TempDir dir;
    const std::string bytes = content(16u * 1024 * 1024, 3);
    write_file(dir / "big", bytes);
    SlowPair p;
    ASSERT_TRUE(write_all(p.peer, "x\n"));
    ASSERT_TRUE(wait_until([&] { return test::conn(p.handle).tokens.queue.size() == 1; }));
    ASSERT_EQ(kiv_file_send(p.handle, (dir / "big").c_str()), 1);
    // The peer does not read: the transfer cannot end meanwhile.
    EXPECT_EQ(kiv_file_send(p.handle, (dir / "big").c_str()), 0);
    EXPECT_EQ(kiv_file_receive(p.handle, (dir / "other").c_str(), 10), 0);
    EXPECT_EQ(kiv_token_send(p.handle, "y", "", 0), 0);
    EXPECT_EQ(kiv_token_receive(p.handle), 0);
    // Accepted at once, without waiting for the transfer's end.
    EXPECT_EQ(kiv_token_delimiter(p.handle, "--"), 1);
    EXPECT_EQ(fnv1a(read_n(p.peer, bytes.size(), 30000)), fnv1a(bytes));
    EXPECT_EQ(bounded_file_wait(p.handle), 1);
    EXPECT_FALSE(fs::exists(dir / "other"));
    EXPECT_EQ(next_token(p.handle), "x");
    EXPECT_EQ(kiv_token_send(p.handle, "y", "", 0), 1);
    EXPECT_EQ(read_n(p.peer, 3), "y--");
}

TEST(FileReceive, SenderThatLeavesRightAfterTheFile) {
    TempDir dir;
    std::string bytes = content(600);
    std::replace(bytes.begin(), bytes.end(), '\n', 'n');
    test::PlainPair p;
    // No line end in the file: all of it is an unfinished line when the peer
    // leaves, kept a moment for the file receive that claims it.
    ASSERT_TRUE(write_all(p.peer, "600\n" + bytes));
    test::close_socket(p.peer);
    p.peer = -1;
    ASSERT_EQ(next_token(p.handle), "600");
    ASSERT_TRUE(wait_until([&] { return test::held(p.handle) == 600; }));
    ASSERT_EQ(kiv_file_receive(p.handle, (dir / "late").c_str(), 600), 1);
    EXPECT_EQ(bounded_file_wait(p.handle), 1);
    EXPECT_EQ(read_file(dir / "late"), bytes);
    // Once the peer's departure is noticed the transfer still reads as done.
    EXPECT_TRUE(wait_until([&] { return kiv_valid(p.handle) == 0; }));
    EXPECT_EQ(test::bounded_wait(kiv_file_wait, p.handle), 1);
    EXPECT_EQ(kiv_file_percentage(p.handle), 100);
    EXPECT_EQ(kiv_file_byte(p.handle), 600);
}

TEST(FileReceive, UnclaimedLastLineOfADepartedPeerIsLetGo) {
    test::PlainPair p;
    ASSERT_TRUE(write_all(p.peer, "no line end"));
    test::close_socket(p.peer);
    p.peer = -1;
    EXPECT_EQ(test::bounded_wait(kiv_token_wait, p.handle), 0);  // ends once the departure is noticed
    EXPECT_EQ(kiv_valid(p.handle), 0);
    EXPECT_EQ(test::bounded_wait(kiv_file_wait, p.handle), 0);  // no transfer ever ran
}

TEST(FileTransfer, OnlyPlainClientsTransfer) {
    TempDir dir;
    write_file(dir / "f", "abc");
    const std::string f = dir / "f";
    const double plain_server = kiv_listen(0, 1, 0);
    const double typed_server = kiv_listen(0, 3, 5);
    const double typed = kiv_connect("127.0.0.1", test::port_of_handle(typed_server), 3);
    const double udp = kiv_connect("127.0.0.1", 0, 4);
    test::PlainPair idle;
    // No transfer ever ran: nothing to wait for, and no progress.
    EXPECT_EQ(test::bounded_wait(kiv_file_wait, idle.handle), 0);
    EXPECT_EQ(kiv_file_percentage(idle.handle), 0);
    for (double h : {plain_server, typed_server, typed, udp}) {
        ASSERT_EQ(kiv_valid(h), 1);
        EXPECT_EQ(kiv_file_send(h, f.c_str()), 0);
        EXPECT_EQ(kiv_file_receive(h, (dir / "g").c_str(), 3), 0);
    }
    EXPECT_FALSE(fs::exists(dir / "g"));
    // Only a plain stream carries a transfer; the others have nothing to wait
    // for, also once closed through handle 0.
    EXPECT_EQ(test::bounded_wait(kiv_file_wait, plain_server), 1);
    EXPECT_EQ(test::bounded_wait(kiv_file_wait, typed), 1);
    EXPECT_EQ(test::bounded_wait(kiv_file_wait, udp), 1);
    const double again = kiv_listen(0, 1, 0);
    ASSERT_EQ(kiv_disconnect(0), 1);
    EXPECT_EQ(test::bounded_wait(kiv_file_wait, again), 1);
}

TEST(FileFaults, FilesThatCannotBeOpenedOrCreatedAreRefusedAtOnce) {
    TempDir dir;
    test::PlainPair p;
    write_file(dir / "done", "xyz");
    ASSERT_EQ(kiv_file_send(p.handle, (dir / "done").c_str()), 1);
    EXPECT_EQ(bounded_file_wait(p.handle), 1);
    EXPECT_EQ(read_n(p.peer, 3), "xyz");
    // Refused with nothing started: the last transfer's progress stays.
    EXPECT_EQ(kiv_file_send(p.handle, (dir / "missing").c_str()), 0);
    EXPECT_EQ(kiv_file_send(p.handle, dir.path.c_str()), 0);  // a folder
    EXPECT_EQ(kiv_file_byte(p.handle), 3);
    EXPECT_EQ(kiv_file_percentage(p.handle), 100);

    ASSERT_TRUE(write_all(p.peer, "abc\n"));
    EXPECT_EQ(kiv_file_receive(p.handle, (dir / "no/such/folder").c_str(), 4), 0);
    EXPECT_EQ(kiv_file_receive(p.handle, dir.path.c_str(), 4), 0);
    EXPECT_EQ(kiv_file_byte(p.handle), 3);
    // Nothing was taken: the bytes arrive as a token, and the connection
    // sends again at once.
    EXPECT_EQ(next_token(p.handle), "abc");
    EXPECT_EQ(kiv_token_send(p.handle, "ok", "", 0), 1);
    EXPECT_EQ(read_n(p.peer, 3), "ok\n");
    EXPECT_EQ(test::read_quiet(p.peer, 30), "");
}

TEST(FileFaults, SendingPeerLeavesMidFile) {
    for (bool reset : {false, true}) {
        TempDir dir;
        test::PlainPair p;
        ASSERT_TRUE(write_all(p.peer, "600\n" + content(600).substr(0, 300)));
        ASSERT_EQ(next_token(p.handle), "600");
        ASSERT_EQ(kiv_file_receive(p.handle, (dir / "g").c_str(), 600), 1);
        ASSERT_TRUE(wait_until([&] { return kiv_file_byte(p.handle) == 300; }));
        if (reset) {
            test::reset_close(p.peer);
        } else {
            test::close_socket(p.peer);
        }
        p.peer = -1;
        EXPECT_EQ(bounded_file_wait(p.handle), 0) << reset;
        EXPECT_EQ(read_file(dir / "g"), content(600).substr(0, 300));
        EXPECT_TRUE(wait_until([&] { return kiv_valid(p.handle) == 0; }));
    }
}

TEST(FileFaults, ReceivingPeerLeavesMidFile) {
    TempDir dir;
    write_file(dir / "big", content(16u * 1024 * 1024, 5));
    SlowPair p;
    ASSERT_EQ(kiv_file_send(p.handle, (dir / "big").c_str()), 1);
    ASSERT_EQ(read_n(p.peer, 1000).size(), 1000u);
    test::reset_close(p.peer);
    p.peer = -1;
    EXPECT_EQ(bounded_file_wait(p.handle), 0);
    EXPECT_LT(test::conn(p.handle).file.done.load(), 16u * 1024 * 1024);
    EXPECT_TRUE(wait_until([&] { return kiv_valid(p.handle) == 0; }));
}

TEST(FileFaults, DisconnectDuringTransfers) {
    TempDir dir;
    write_file(dir / "big", content(16u * 1024 * 1024, 9));
    SlowPair sending;
    ASSERT_EQ(kiv_file_send(sending.handle, (dir / "big").c_str()), 1);
    ASSERT_TRUE(wait_until([&] { return kiv_file_byte(sending.handle) > 0; }));
    EXPECT_EQ(kiv_disconnect(sending.handle), 1);

    test::PlainPair receiving;
    ASSERT_EQ(kiv_file_receive(receiving.handle, (dir / "g").c_str(), 600), 1);
    ASSERT_TRUE(write_all(receiving.peer, content(600).substr(0, 100)));
    ASSERT_TRUE(wait_until([&] { return kiv_file_byte(receiving.handle) == 100; }));
    EXPECT_EQ(kiv_disconnect(receiving.handle), 1);
    EXPECT_EQ(kiv::api::resolve(receiving.handle), nullptr);
}

}  // namespace
