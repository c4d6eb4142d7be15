// kiv-demo: one process plays a player server, its players, a file transfer and two relay users, through the exports only.
//
// Everything runs on one thread, as in a script: each connection's worker does
// the reading, and every wait here polls with a deadline.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "common.h"
#include "kiv.h"
#include "progress.h"

using kivcli::quoted;
using kivcli::say;

namespace {

constexpr double kWaitSeconds = 10;
constexpr int kFileBytes = 16 * 1024 * 1024;

struct Failed : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// ": " and the library's reason for the call that just failed.
std::string why() { return ": " + kivcli::library_reason("no reason given"); }

void pause_ms(int ms) { usleep(static_cast<useconds_t>(ms) * 1000); }

template <typename Cond>
void await(const std::string& what, Cond cond) {
    const double until = kivcli::seconds_now() + kWaitSeconds;
    while (!cond()) {
        if (kivcli::seconds_now() > until) throw Failed(what);
        pause_ms(2);
    }
}

std::string num(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.0f", v);
    return buf;
}

void act(const std::string& who, const std::string& what) {
    std::string name = who;
    name.resize(10, ' ');
    say("  " + name + what);
}

int g_section = 0;
void section(const std::string& title) {
    say("");
    say("== " + std::to_string(++g_section) + ". " + title);
}

std::string token_of(double h, const std::string& who) {
    await(who + " gets a token", [&] { return kiv_token_receive(h) == 1; });
    return kiv_token_value(h);
}

struct Message {
    double id, player;
    std::string value;
};

Message message_of(double h, const std::string& who) {
    await(who + " gets a message", [&] { return kiv_message_receive(h) == 1; });
    return {kiv_message_id(h), kiv_message_player(h), kiv_message_value(h)};
}

std::string from(double player) { return player == 0 ? "the server" : "player " + num(player); }

void expect_token(double h, const std::string& who, const std::string& text) {
    const std::string got = token_of(h, who);
    if (got != text) throw Failed(who + " got token " + quoted(got) + " instead of " + quoted(text));
    act(who, "got token " + quoted(got));
}

void expect_message(double h, const std::string& who, double id, double player, const std::string& value) {
    const Message m = message_of(h, who);
    if (m.id != id || m.player != player || m.value != value) {
        throw Failed(who + " got message " + num(m.id) + " from " + from(m.player) + " " + quoted(m.value));
    }
    act(who, "got message " + num(m.id) + " from " + from(m.player) + ": " + quoted(m.value));
}

double join(const std::string& who, int port) {
    const double h = kiv_connect("127.0.0.1", port, 3);
    if (h == 0) throw Failed(who + " cannot join the player server" + why());
    act(who, "joined as player " + num(kiv_player_id(h)));
    return h;
}

void sees_int(double h, const std::string& who, int slot, double value) {
    await(who + " sees data " + std::to_string(slot), [&] {
        return kiv_data_type(h, slot) == 0 && kiv_data_get_int(h, slot) == value;
    });
    act(who, "sees data " + std::to_string(slot) + " = " + num(value));
}

void sees_str(double h, const std::string& who, int slot, const std::string& value) {
    await(who + " sees data " + std::to_string(slot), [&] {
        return kiv_data_type(h, slot) == 1 && std::string(kiv_data_get_str(h, slot)) == value;
    });
    act(who, "sees data " + std::to_string(slot) + " = " + quoted(value));
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A private folder for the demo's files, removed at the end.
struct TempDir {
    std::string path;
    TempDir() {
        char name[] = "/tmp/kiv-demo-XXXXXX";
        path = mkdtemp(name) ? name : "";
        if (path.empty()) throw Failed("cannot make a folder in /tmp");
    }
    ~TempDir() {
        for (const char* f : {"/sent.bin", "/received.bin"}) std::remove((path + f).c_str());
        rmdir(path.c_str());
    }
};

// Scripts pick a port themselves: the first free one from 9714 on.
int free_port(double mode, double limit, double* server) {
    for (int port = 9714; port < 9814; ++port) {
        *server = kiv_listen(port, mode, limit);
        if (*server != 0) return port;
    }
    throw Failed("no free port from 9714 to 9813");
}

void player_server() {
    section("A player server and three players");
    double server = 0;
    const int port = free_port(3, 8, &server);
    act("server", "listens on port " + std::to_string(port) + " for up to 8 players");
    const double alice = join("alice", port);
    const double bob = join("bob", port);
    const double carol = join("carol", port);
    await("the server lists player 3", [&] { return std::string(kiv_ipaddress(server, 3)) != ""; });
    act("server", "sees players 1, 2 and 3, from " + std::string(kiv_ipaddress(server, 1)));

    section("Tokens: lines of text");
    kiv_token_send(alice, "hello, everyone", "", 0);
    act("alice", "sends token \"hello, everyone\"");
    expect_token(server, "server", "hello, everyone");
    expect_token(bob, "bob", "hello, everyone");
    expect_token(carol, "carol", "hello, everyone");
    kiv_token_send(server, "welcome to the game", "", 0);
    act("server", "sends token \"welcome to the game\" to every player");
    expect_token(alice, "alice", "welcome to the game");
    expect_token(bob, "bob", "welcome to the game");
    expect_token(carol, "carol", "welcome to the game");

    section("Messages addressed three ways");
    kiv_message_send(alice, 1, 0, "ready");
    act("alice", "sends message 1 \"ready\" to the server (player 0)");
    expect_message(server, "server", 1, 1, "ready");
    kiv_message_send(bob, 2, -1, "round starts");
    act("bob", "sends message 2 \"round starts\" to everybody (player -1)");
    expect_message(server, "server", 2, 2, "round starts");
    expect_message(alice, "alice", 2, 2, "round starts");
    expect_message(carol, "carol", 2, 2, "round starts");
    kiv_message_send(carol, 3, 2, "psst, bob");
    act("carol", "sends message 3 \"psst, bob\" to player 2 only");
    expect_message(bob, "bob", 3, 3, "psst, bob");
    kiv_message_send(server, 4, 1, "you lead");
    act("server", "sends message 4 \"you lead\" to player 1 only");
    // Routed after carol's: had alice received that one, it would come first.
    expect_message(alice, "alice", 4, 0, "you lead");

    section("Shared data: 256 slots everybody sees");
    kiv_data_set_int(server, 1, 1000);
    act("server", "sets data 1 = 1000");
    sees_int(alice, "alice", 1, 1000);
    sees_int(bob, "bob", 1, 1000);
    sees_int(carol, "carol", 1, 1000);
    kiv_data_set_int(alice, 2, 42);
    act("alice", "sets data 2 = 42");
    sees_int(server, "server", 2, 42);
    sees_int(bob, "bob", 2, 42);
    sees_int(carol, "carol", 2, 42);
    kiv_data_set_str(bob, 3, "blue team");
    act("bob", "sets data 3 = \"blue team\"");
    sees_str(server, "server", 3, "blue team");
    sees_str(alice, "alice", 3, "blue team");
    sees_str(carol, "carol", 3, "blue team");

    section("A late joiner gets the snapshot; a player leaves");
    const double dave = join("dave", port);
    sees_int(dave, "dave", 1, 1000);
    sees_int(dave, "dave", 2, 42);
    kiv_disconnect(carol);
    act("carol", "leaves");
    await("the server sees player 3 leave", [&] { return std::string(kiv_ipaddress(server, 3)).empty(); });
    act("server", "player 3 has no address any more: carol left");

    for (double h : {alice, bob, dave, server}) kiv_disconnect(h);
}

void file_transfer() {
    section("A file with a progress bar");
    TempDir dir;
    const std::string sent = dir.path + "/sent.bin";
    const std::string received = dir.path + "/received.bin";
    {
        std::string bytes(kFileBytes, '\0');
        uint32_t x = 2463534242u;
        for (char& b : bytes) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            b = static_cast<char>(x);
        }
        std::ofstream(sent, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    double server = 0;
    const int port = free_port(1, 0, &server);
    const double sender = kiv_connect("127.0.0.1", port, 1);
    if (sender == 0) throw Failed("cannot connect to the plain server" + why());
    double receiver = 0;
    await("the server accepts the sender", [&] {
        receiver = kiv_accept(server);
        return kiv_valid(receiver) == 1;
    });
    const double size = kiv_filesize(sent.c_str());
    act("sender", "connects to port " + std::to_string(port) + ", sends the size " + num(size) + " as a token");
    kiv_token_send(sender, num(size).c_str(), "", 0);
    if (kiv_file_send(sender, sent.c_str()) != 1) throw Failed("kiv_file_send refused" + why());
    const std::string announced = token_of(receiver, "receiver");
    act("receiver", "got size " + announced + ", receives into a file");
    if (kiv_file_receive(receiver, received.c_str(), std::atof(announced.c_str())) != 1) {
        throw Failed("kiv_file_receive refused" + why());
    }
    kivcli::Progress bar("receiving", "received", "the file", size, stdout);
    bar.indent("  receiver  ");
    await("the file arrives", [&] {
        bar.update(kiv_file_byte(receiver));
        return kiv_file_byte(receiver) == size;
    });
    if (kiv_file_wait(sender) != 1 || kiv_file_wait(receiver) != 1) throw Failed("a transfer did not complete");
    bar.finish(true, kiv_file_byte(receiver));
    if (read_file(received) != read_file(sent)) throw Failed("the received file differs");
    act("receiver", "compared the two files: identical");
    for (double h : {sender, receiver, server}) kiv_disconnect(h);
}

void relay() {
    section("Two scripts meet through the relay service");
    const double erin = kiv_connect("demo-room", 0, 2);
    if (erin == 0) throw Failed("erin cannot reach the relay service" + why());
    act("erin", "joins session \"demo-room\" at the relay");
    const double frank = kiv_connect("demo-room", 0, 2);
    if (frank == 0) throw Failed("frank cannot reach the relay service" + why());
    act("frank", "joins session \"demo-room\" too");
    kiv_token_send(erin, "hi frank, found you", "", 0);
    act("erin", "sends token \"hi frank, found you\"");
    expect_token(frank, "frank", "hi frank, found you");
    kiv_token_send(frank, "hi erin", "", 0);
    act("frank", "sends token \"hi erin\"");
    expect_token(erin, "erin", "hi erin");
    kiv_disconnect(erin);
    kiv_disconnect(frank);

    section("The address query");
    const std::string address = kiv_ipaddress(-1, 0);
    if (address.empty()) throw Failed("the relay service gave no address" + why());
    act("anyone", "asks the relay service for this machine's address: " + address);
}

}  // namespace

int main() {
    say("kiv demo: " + std::string(copyright()));
    say("Every part below is played through the library's exported functions, over 127.0.0.1.");
    try {
        player_server();
        file_transfer();
        relay();
    } catch (const Failed& f) {
        std::fflush(stdout);
        std::fprintf(stderr, "kiv-demo: FAILED: %s\n", f.what());
        return 1;
    }
    say("");
    say("== Demo finished: every step above was checked.");
    return 0;
}
