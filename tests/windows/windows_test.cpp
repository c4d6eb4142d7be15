// What only a Windows host shows: kiv.dll loaded by LoadLibraryA and driven
// through its plain cdecl exports, here and against native Linux peers.
// The shared suites run in the same program, against the library's objects.
//
// Usage: kiv_windows_tests [--peer PORT] [GoogleTest flags]
// PORT is the control port of native_peer.py on the Linux side of the
// loopback; without it the native-peer tests are skipped. The last line
// counts the tests: "N passed, N failed, N skipped".
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

// Winsock's header before windows.h, which would bring the old one.
#include "support/sockets.h"
#include "support/support.h"
#include "support/temp_dir.h"
#include "kiv_loader.h"
#include "summary.h"

#define EXPECT_TEXT(actual, expected) EXPECT_EQ(std::string(actual), std::string(expected))
#define EXPECT_NUM(actual, expected) EXPECT_EQ(static_cast<double>(actual), static_cast<double>(expected))

using namespace wt;
using test::wait_until;

namespace {

Kiv k;

// ---- The wire format of typed connections, written out independently of the library ----

std::string digit(int v) {
    unsigned char b = static_cast<unsigned char>(v + 2);
    if (b == 10) b = 0xFF;
    if (b == 126) b = 0xFE;
    return std::string(1, static_cast<char>(b));
}
std::string normal(int v) { return digit(v / 250) + digit(v % 250); }
std::string big(int v) {
    return digit(v / 62500) + digit(static_cast<int>(std::floor((v % 62500) / 250.0))) + digit(v % 250);
}
std::string rec_token(const std::string& text) { return "T" + text + "\n"; }
std::string rec_message(int id, int player, const std::string& value) {
    return "M" + digit(id) + normal(player) + value + "\n";
}
std::string rec_int(int slot, int value) { return "D" + digit(slot) + "I" + big(value) + "\n"; }
std::string rec_str(int slot, const std::string& text) { return "D" + digit(slot) + "S" + text + "\n"; }

// ---- Script-side helpers ----

// The oldest token, once one arrives; "<none>" when none came in time.
std::string next_token(double h, int timeout_ms = 5000) {
    if (!wait_until([&] { return k.token_receive(h) == 1; }, timeout_ms)) return "<none>";
    return k.token_value(h);
}

struct Message {
    std::string value = "<none>";
    double id = -1;
    double player = -1;
};

Message next_message(double h, int timeout_ms = 5000) {
    Message m;
    if (!wait_until([&] { return k.message_receive(h) == 1; }, timeout_ms)) return m;
    m.value = k.message_value(h);
    m.id = k.message_id(h);
    m.player = k.message_player(h);
    return m;
}

// Takes the next waiting client of a plain server (kiv_accept gives an empty
// entry while nobody waits).
double accept_client(double server) {
    double h = 0;
    wait_until([&] {
        h = k.accept(server);
        return k.valid(h) == 1;
    });
    return k.valid(h) == 1 ? h : 0;
}

// Bytes that text-mode I/O would change: NUL, LF, CR LF, Ctrl-Z, high bytes.
std::string binary_content(size_t n) {
    std::string s("\x00\n\r\n\x1a\xff\x0d", 7);
    for (size_t i = s.size(); i < n; ++i) s += static_cast<char>((i * 7 + i / 251) & 0xFF);
    s.resize(n);
    return s;
}

// ---- The native Linux peer, reached over its control connection ----

std::string to_hex(const std::string& b) {
    if (b.empty()) return "-";
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned char ch : b) {
        out += digits[ch >> 4];
        out += digits[ch & 15];
    }
    return out;
}

std::string from_hex(const std::string& h) {
    std::string out;
    if (h == "-") return out;
    for (size_t i = 0; i + 1 < h.size(); i += 2) out += static_cast<char>(std::strtol(h.substr(i, 2).c_str(), nullptr, 16));
    return out;
}

struct Agent {
    uint16_t port = 0;
    test::sock_t control = test::kNoSocket;

    bool open() {
        control = test::connect_to(port);
        return control != test::kNoSocket;
    }
    // One command, one answer line; "ERR ..." when there is none in time.
    std::vector<std::string> ask(const std::string& line) {
        if (control == test::kNoSocket || !test::write_all(control, line + "\n")) return {"ERR", "no control connection"};
        std::string answer;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (answer.empty() || answer.back() != '\n') {
            const std::string c = test::read_n(control, 1, std::max(1, test::ms_until(deadline)));
            if (c.empty()) return {"ERR", "no answer to " + line};
            answer += c;
        }
        std::vector<std::string> words;
        size_t i = 0;
        while (i < answer.size()) {
            const size_t j = answer.find_first_of(" \n", i);
            if (j > i) words.push_back(answer.substr(i, j - i));
            i = j + 1;
        }
        if (words.empty()) words.push_back("ERR");
        return words;
    }
    // The answer's words after "OK", or a failed check and empty words.
    std::vector<std::string> ok(const std::string& line, size_t words) {
        std::vector<std::string> a = ask(line);
        if (a[0] != "OK" || a.size() < words + 1) {
            ADD_FAILURE() << "native peer: " << line.substr(0, 60) << " -> " << a.back();
            return std::vector<std::string>(words, "0");
        }
        return std::vector<std::string>(a.begin() + 1, a.begin() + 1 + static_cast<long>(words));
    }
    int connect(uint16_t to) { return std::atoi(ok("CONNECT " + std::to_string(to), 1)[0].c_str()); }
    void write(int id, const std::string& bytes) { ok("WRITE " + std::to_string(id) + " " + to_hex(bytes), 0); }
    std::string read(int id, size_t n, int timeout_ms = 5000) {
        return from_hex(
            ok("READ " + std::to_string(id) + " " + std::to_string(n) + " " + std::to_string(timeout_ms), 1)[0]);
    }
    bool closed(int id) { return ok("CLOSED " + std::to_string(id) + " 5000", 1)[0] == "1"; }
    void close(int id) { ok("CLOSE " + std::to_string(id), 0); }
};

Agent agent;

// Each test leaves the DLL's table empty.
class Dll : public testing::Test {
protected:
    void TearDown() override {
        for (int h = 1; h <= 64; ++h) k.disconnect(h);
    }
};

class NativePeer : public Dll {
protected:
    void SetUp() override {
        if (agent.port == 0) GTEST_SKIP() << "no native peer (--peer PORT)";
    }
};

TEST_F(Dll, ExportsArePlainCdeclNames) {
    std::vector<std::string> names = export_names(k.lib);
    std::vector<std::string> expected;
    for (const Export& e : exports()) expected.push_back(e.name);
    std::sort(names.begin(), names.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_NUM(names.size(), 42);
    EXPECT_TRUE(names == expected);

    const std::string notice = k.copyright();
    EXPECT_TRUE(notice.rfind("kiv", 0) == 0);
    EXPECT_TEXT(k.pack_normal(2008), "\xFF\xFF");
    EXPECT_NUM(k.unpack_normal("abcd\x06\x02", 4), 1000);
    // Reals are truncated: the doubles reach the library intact on the stack.
    EXPECT_NUM(k.unpack_normal("abcd\x06\x02", 4.9), 1000);
    for (int v : {0, 8, 124, 249}) EXPECT_NUM(k.unpack_small(k.pack_small(v), 0), v);
    for (int v : {0, 2008, 31374, 62499}) EXPECT_NUM(k.unpack_normal(k.pack_normal(v), 0), v);
    for (int v : {0, 1234567, 15624999}) EXPECT_NUM(k.unpack_big(k.pack_big(v), 0), v);
    EXPECT_TEXT(k.pack_big(15624999), big(15624999));
    EXPECT_NUM(k.unpack_big("ab", 1), 0);

    // Handles that name nothing give the failure values.
    EXPECT_NUM(k.valid(0), 0);
    EXPECT_NUM(k.valid(7), 0);
    EXPECT_NUM(k.valid(-1), 0);
    EXPECT_NUM(k.token_send(3, "x", "", 0), 0);
    EXPECT_TEXT(k.token_value(5), "");
    EXPECT_NUM(k.message_id(9), 0);
    EXPECT_TEXT(k.data_get_str(1, 1), "");
    EXPECT_NUM(k.file_byte(2), 0);
    EXPECT_NUM(k.disconnect(1), 0);
}

TEST_F(NativePeer, NativeTcpTokens) {
    // Windows client, Linux echo server.
    const int echo_port = std::atoi(agent.ok("ECHO", 1)[0].c_str());
    const double h = k.connect("127.0.0.1", echo_port, 1);
    EXPECT_TRUE(h >= 1);
    EXPECT_NUM(k.token_send(h, "echo me", "", 0), 1);
    EXPECT_TEXT(next_token(h), "echo me");
    EXPECT_NUM(k.token_delimiter(h, "\r\n"), 1);
    EXPECT_NUM(k.token_send(h, "crlf", "", 0), 1);
    EXPECT_TEXT(next_token(h), "crlf");

    // Linux client, Windows server.
    const uint16_t port = test::free_port();
    const double server = k.listen(port, 1, 0);
    EXPECT_TRUE(server >= 1);
    const int id = agent.connect(port);
    const double accepted = accept_client(server);
    EXPECT_TRUE(accepted >= 1);
    EXPECT_TEXT(k.ipaddress(accepted, 0), "127.0.0.1");
    agent.write(id, "from linux\n");
    EXPECT_TEXT(next_token(accepted), "from linux");
    EXPECT_NUM(k.token_send(accepted, "to linux", "", 0), 1);
    EXPECT_TEXT(agent.read(id, 9), "to linux\n");
    agent.close(id);
    EXPECT_TRUE(wait_until([&] { return k.valid(accepted) == 0; }));
}

TEST_F(NativePeer, NativeUdpTokens) {
    std::vector<std::string> udp = agent.ok("UDP", 2);
    const int id = std::atoi(udp[0].c_str());
    const int native_port = std::atoi(udp[1].c_str());
    const uint16_t port = test::free_port(SOCK_DGRAM);
    const double u = k.connect("", port, 4);
    EXPECT_TRUE(u >= 1);
    agent.ok("SENDTO " + std::to_string(id) + " " + std::to_string(port) + " " + to_hex("lin\n"), 0);
    EXPECT_TEXT(next_token(u), "lin");
    EXPECT_TEXT(k.token_ipaddress(u), "127.0.0.1");
    EXPECT_NUM(k.token_send(u, "win", "127.0.0.1", native_port), 1);
    std::vector<std::string> got = agent.ok("RECVFROM " + std::to_string(id) + " 5000", 2);
    EXPECT_TEXT(from_hex(got[0]), "win\n");
    EXPECT_TEXT(got[1], "127.0.0.1");
}

TEST_F(NativePeer, NativeTypedPeers) {
    // A Linux player on a Windows player server, beside a Windows player.
    const uint16_t port = test::free_port();
    const double server = k.listen(port, 3, 10);
    EXPECT_TRUE(server >= 1);
    const double c1 = k.connect("127.0.0.1", port, 3);
    EXPECT_NUM(k.player_id(c1), 1);
    const int id = agent.connect(port);
    EXPECT_TEXT(agent.read(id, 3), "T2\n");
    EXPECT_TRUE(wait_until([&] { return std::string(k.ipaddress(server, 2)) == "127.0.0.1"; }));
    agent.write(id, rec_token("linux says"));
    EXPECT_TEXT(next_token(server), "linux says");
    EXPECT_TEXT(next_token(c1), "linux says");
    EXPECT_NUM(k.message_send(c1, 20, 2, "to linux"), 1);
    EXPECT_TEXT(agent.read(id, rec_message(20, 1, "to linux").size()), rec_message(20, 1, "to linux"));
    agent.write(id, rec_str(30, "shared from linux"));
    EXPECT_TRUE(wait_until([&] { return std::string(k.data_get_str(c1, 30)) == "shared from linux"; }));
    EXPECT_TEXT(k.data_get_str(server, 30), "shared from linux");
    agent.write(id, rec_message(21, -1, "linux to all"));
    Message m = next_message(c1);
    EXPECT_TEXT(m.value, "linux to all");
    EXPECT_NUM(m.player, 2);
    EXPECT_NUM(next_message(server).player, 2);

    // A Windows typed client on a Linux server that speaks the wire format.
    std::vector<std::string> l = agent.ok("LISTEN", 2);
    const int lid = std::atoi(l[0].c_str());
    const int lport = std::atoi(l[1].c_str());
    agent.ok("ACCEPT " + std::to_string(lid) + " 10000 " + to_hex("T7\n" + rec_int(3, 99)), 0);
    const double c = k.connect("127.0.0.1", lport, 3);
    EXPECT_TRUE(c >= 1);
    EXPECT_NUM(k.player_id(c), 7);
    EXPECT_TRUE(wait_until([&] { return k.data_get_int(c, 3) == 99; }));
    const int sid = std::atoi(agent.ok("ACCEPTED " + std::to_string(lid) + " 5000", 1)[0].c_str());
    EXPECT_NUM(k.token_send(c, "up", "", 0), 1);
    EXPECT_TEXT(agent.read(sid, 4), rec_token("up"));
    EXPECT_NUM(k.message_send(c, 4, -1, "m"), 1);
    EXPECT_TEXT(agent.read(sid, rec_message(4, -1, "m").size()), rec_message(4, -1, "m"));
    EXPECT_NUM(k.data_set_int(c, 8, 62499), 1);
    EXPECT_TEXT(agent.read(sid, rec_int(8, 62499).size()), rec_int(8, 62499));
    agent.write(sid, rec_message(6, 0, "from native server"));
    m = next_message(c);
    EXPECT_TEXT(m.value, "from native server");
    EXPECT_NUM(m.id, 6);
    EXPECT_NUM(m.player, 0);
    k.disconnect(c);
    EXPECT_TRUE(agent.closed(sid));
}

TEST_F(NativePeer, NativeFiles) {
    const test::TempDir dir("kiv native files");  // a space in the path, as users have
    const std::string src = dir.path + "\\to linux.bin";
    const std::string dst = dir.path + "\\from linux.bin";
    const std::string content = binary_content(5000);
    EXPECT_TRUE(test::write_file(src, content));

    const uint16_t port = test::free_port();
    const double server = k.listen(port, 1, 0);
    const int id = agent.connect(port);
    const double accepted = accept_client(server);
    EXPECT_TRUE(accepted >= 1);

    // Windows to Linux: the bytes on the wire are the file's, unchanged.
    const bool sending = k.file_send(accepted, src.c_str()) == 1;
    EXPECT_TRUE(sending);
    if (sending) {
        EXPECT_TRUE(agent.read(id, content.size()) == content);
        EXPECT_NUM(test::bounded_wait(k.file_wait, accepted, 20000, k.disconnect), 1);
        EXPECT_NUM(k.file_percentage(accepted), 100);
    }
    // Linux to Windows.
    const bool receiving = k.file_receive(accepted, dst.c_str(), static_cast<double>(content.size())) == 1;
    EXPECT_TRUE(receiving);
    if (receiving) {
        agent.write(id, content);
        EXPECT_NUM(test::bounded_wait(k.file_wait, accepted, 20000, k.disconnect), 1);
        EXPECT_NUM(k.file_byte(accepted), content.size());
        EXPECT_NUM(k.file_percentage(accepted), 100);
        EXPECT_TRUE(test::read_file(dst) == content);
    }
}

// The exports a script reads its ports, counts and reasons through, and
// KIV_RELAY as a host sets it: in the process's environment block, which
// the C runtime's copy does not see.
TEST_F(Dll, PortsCountsReasonsAndKivRelayFromTheEnvironmentBlock) {
    EXPECT_TRUE(std::strlen(k.version()) > 0);
    const double u = k.connect("", 0, 4);
    const double own = k.local_port(u);
    EXPECT_TRUE(own > 0);
    EXPECT_NUM(k.token_send(u, "self", "127.0.0.1", own), 1);
    EXPECT_TEXT(next_token(u), "self");
    EXPECT_NUM(k.token_port(u), own);

    const double server = k.listen(0, 3, 0);
    const double player = k.connect("127.0.0.1", k.local_port(server), 3);
    EXPECT_NUM(k.player_id(player), 1);
    EXPECT_TRUE(wait_until([&] { return k.player_count(server) == 1; }));

    const test::ClosedPort nobody;
    const std::string where = "127.0.0.1:" + std::to_string(nobody.port);
    ASSERT_TRUE(SetEnvironmentVariableA("KIV_RELAY", where.c_str()));
    EXPECT_NUM(k.connect("room", 0, 2), 0);
    EXPECT_NE(std::string(k.last_error()).find(where), std::string::npos) << k.last_error();
    SetEnvironmentVariableA("KIV_RELAY", nullptr);
}

// A port another server listens on is refused, not shared; a server
// restarted on its port after serving a client is back at once.
TEST_F(Dll, AServerPortIsExclusiveAndFreeAgainAtOnce) {
    const uint16_t port = test::free_port();
    const double server = k.listen(port, 1, 0);
    EXPECT_TRUE(server >= 1);
    EXPECT_NUM(k.listen(port, 1, 0), 0);
    EXPECT_NUM(k.listen(port, 3, 0), 0);
    const double client = k.connect("127.0.0.1", port, 1);
    const double accepted = accept_client(server);
    EXPECT_TRUE(accepted >= 1);
    k.token_send(accepted, "served", "", 0);
    EXPECT_TEXT(next_token(client), "served");
    k.disconnect(accepted);
    k.disconnect(server);
    k.disconnect(client);
    const double again = k.listen(port, 1, 0);
    EXPECT_TRUE(again >= 1);
}

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--peer") == 0) agent.port = static_cast<uint16_t>(std::atoi(argv[i + 1]));
    }
    test::start_sockets();
    std::printf("kiv.dll for %s, from %s\n", sizeof(void*) == 4 ? "32-bit hosts" : "64-bit hosts", dll_path().c_str());
    std::vector<std::string> missing;
    if (!load(k, &missing)) {
        std::printf("load: %s\n0 passed, 1 failed\n", k.lib ? ("missing export " + missing.front()).c_str() : "LoadLibraryA failed");
        return 1;
    }
    if (agent.port != 0 && !agent.open()) {
        std::printf("cannot reach the native peer on port %u\n0 passed, 1 failed\n", agent.port);
        return 1;
    }
    const int rc = RUN_ALL_TESTS();
    if (agent.port != 0) agent.ask("BYE");
    return summary(rc);
}
