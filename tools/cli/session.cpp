// Interactive sessions: `kiv connect` and `kiv listen` — stdin lines out, everything received printed.
#include "session.h"

#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "common.h"
#include "kiv.h"

namespace kivcli {

namespace {

enum class Role { plain, relay, typed, udp, plain_server, typed_server };

// How long one pass waits for stdin before the library's queues are read.
constexpr int kPollMs = 20;
// Records printed per queue and pass, so that a flood cannot starve stdin.
constexpr int kDrainPerPass = 1000;
// Player numbers looked at beyond the highest seen: players that joined
// since the last pass, maybe several at once.
constexpr int kPlayerLookahead = 16;
constexpr int kMaxPlayerNumber = 32767;
constexpr size_t kPlayersEveryPass = 64;

std::string unescape(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\' || i + 1 == s.size()) {
            out += s[i];
            continue;
        }
        const char e = s[++i];
        out += e == 'n' ? '\n' : e == 'r' ? '\r' : e == 't' ? '\t' : e;
    }
    return out;
}

std::string number(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.0f", v);
    return buf;
}

// Splits off the first space-separated word of *rest.
std::string next_word(std::string* rest) {
    const size_t start = rest->find_first_not_of(' ');
    if (start == std::string::npos) {
        rest->clear();
        return "";
    }
    size_t end = rest->find(' ', start);
    if (end == std::string::npos) end = rest->size();
    std::string word = rest->substr(start, end - start);
    rest->erase(0, end < rest->size() ? end + 1 : end);
    return word;
}

void print_help(bool typed, bool udp) {
    std::fprintf(stderr, "Lines you type are sent as tokens. Commands:\n");
    if (typed) {
        std::fprintf(stderr,
                     "  /msg ID PLAYER text   send a message (PLAYER 0: server, -1: everybody, n: player n)\n"
                     "  /set SLOT value       set shared data (an integer, else a string; \"12\" is a string)\n");
    }
    if (udp) std::fprintf(stderr, "  /to HOST:PORT         where the following lines go\n");
    std::fprintf(stderr,
                 "  //text                send a line that starts with /\n"
                 "  /quit                 close and leave\n");
}

struct Client {
    double handle;
    int number;
};

class Session {
public:
    Session(Role role, double handle, int limit) : role_(role), handle_(handle), limit_(limit) {}

    void set_target(const std::string& host, int port) {
        to_host_ = host;
        to_port_ = port;
    }

    int run() {
        LineReader stdin_lines(STDIN_FILENO);
        std::vector<std::string> lines;
        while (!quit_ && !signalled()) {
            lines.clear();
            stdin_lines.wait(kPollMs, &lines);
            for (const std::string& line : lines) {
                if (quit_) break;
                handle_line(line);
            }
            if (!quit_) drain();
        }
        for (const Client& c : clients_) kiv_disconnect(c.handle);
        kiv_disconnect(handle_);
        return 0;
    }

private:
    bool typed() const { return role_ == Role::typed || role_ == Role::typed_server; }

    void handle_line(const std::string& line) {
        if (line.size() >= 2 && line[0] == '/' && line[1] == '/') {
            send_text(line.substr(1));
        } else if (!line.empty() && line[0] == '/') {
            command(line);
        } else {
            send_text(line);
        }
    }

    void send_text(const std::string& text) {
        switch (role_) {
            case Role::udp:
                if (to_host_.empty()) {
                    complain("no destination: start with --to HOST:PORT or type /to HOST:PORT");
                } else if (kiv_token_send(handle_, text.c_str(), to_host_.c_str(), to_port_) != 1) {
                    complain("not sent: " + library_reason("the system did not take the datagram"));
                }
                return;
            case Role::plain_server:
                if (clients_.empty()) complain("no client connected: line not sent");
                for (const Client& c : clients_) {
                    if (kiv_token_send(c.handle, text.c_str(), "", 0) != 1) {
                        complain("not sent to client " + std::to_string(c.number) + ": " + library_reason("refused"));
                    }
                }
                return;
            case Role::typed_server:
                if (live_players_ == 0) complain("no player connected: line not sent");
                [[fallthrough]];
            default:
                if (kiv_token_send(handle_, text.c_str(), "", 0) != 1) {
                    complain("not sent: " + library_reason("refused"));
                }
                return;
        }
    }

    void command(const std::string& line) {
        std::string rest = line.substr(1);
        const std::string name = next_word(&rest);
        if (name == "quit") {
            quit_ = true;
        } else if (name == "help") {
            print_help(typed(), role_ == Role::udp);
        } else if (name == "to" && role_ == Role::udp) {
            std::string host;
            int port = 0;
            if (parse_host_port(next_word(&rest), &host, &port)) {
                set_target(host, port);
            } else {
                complain("usage: /to HOST:PORT");
            }
        } else if ((name == "msg" || name == "set") && !typed()) {
            complain("/" + name + " needs a typed connection (kiv connect --kind typed, kiv listen --typed)");
        } else if (name == "msg") {
            send_message(rest);
        } else if (name == "set") {
            set_data(rest);
        } else {
            complain("unknown command /" + name + " (/help lists them)");
        }
    }

    void send_message(std::string rest) {
        long long id = 0, player = 0;
        const std::string id_word = next_word(&rest);
        const std::string player_word = next_word(&rest);
        if (!parse_integer(id_word, &id) || !parse_integer(player_word, &player)) {
            complain("usage: /msg ID PLAYER text");
            return;
        }
        if (kiv_message_send(handle_, static_cast<double>(id), static_cast<double>(player), rest.c_str()) != 1) {
            complain("message not sent: " + library_reason("refused"));
        }
    }

    void set_data(std::string rest) {
        long long slot = 0;
        if (!parse_integer(next_word(&rest), &slot)) {
            complain("usage: /set SLOT value");
            return;
        }
        SlotValue v;
        long long n = 0;
        if (parse_integer(rest, &n)) {
            v.number = static_cast<double>(n);
        } else {
            v.is_string = true;
            v.text = rest;
            // "12" in quotes is the string 12.
            if (v.text.size() >= 2 && v.text.front() == '"' && v.text.back() == '"') {
                v.text = v.text.substr(1, v.text.size() - 2);
            }
        }
        const double ok = v.is_string ? kiv_data_set_str(handle_, static_cast<double>(slot), v.text.c_str())
                                      : kiv_data_set_int(handle_, static_cast<double>(slot), v.number);
        if (ok != 1) {
            complain("not set: " + library_reason("refused"));
            return;
        }
        // Read back as the library stores it, so that this change is not reported as a received one.
        slots_.note(static_cast<int>(slot), read_slot(handle_, static_cast<int>(slot)));
    }

    void drain_tokens(double h, const std::string& prefix) {
        for (int i = 0; i < kDrainPerPass && kiv_token_receive(h) == 1; ++i) {
            std::string from = prefix;
            if (role_ == Role::udp) from = "token from " + std::string(kiv_token_ipaddress(h)) + ": ";
            say(from + printable(kiv_token_value(h)));
        }
    }

    void drain_messages() {
        for (int i = 0; i < kDrainPerPass && kiv_message_receive(handle_) == 1; ++i) {
            const double player = kiv_message_player(handle_);
            const std::string from = player == 0 ? "server" : "player " + number(player);
            say("message " + number(kiv_message_id(handle_)) + " from " + from + ": " +
                printable(kiv_message_value(handle_)));
        }
    }

    void watch_slots() {
        slots_.poll(handle_, [](int slot, const SlotValue& v) { say("data " + std::to_string(slot) + " = " + v.show()); });
    }

    void watch_players() {
        int highest = static_cast<int>(players_.size());
        const int last = highest + kPlayerLookahead < kMaxPlayerNumber ? highest + kPlayerLookahead : kMaxPlayerNumber;
        int live = 0;
        for (int n = 1; n <= last; ++n) {
            const std::string address = kiv_ipaddress(handle_, n);
            if (n > static_cast<int>(players_.size())) {
                if (address.empty()) continue;
                players_.resize(static_cast<size_t>(n));
            }
            std::string& seen = players_[static_cast<size_t>(n - 1)];
            if (seen.empty() && !address.empty()) say("player " + std::to_string(n) + " joined from " + address);
            if (!seen.empty() && address.empty()) say("player " + std::to_string(n) + " left");
            seen = address;
            if (!address.empty()) ++live;
        }
        live_players_ = live;
    }

    void accept_clients() {
        while (limit_ <= 0 || static_cast<int>(clients_.size()) < limit_) {
            const double h = kiv_accept(handle_);
            if (h == 0 || kiv_valid(h) != 1) return;
            const int n = next_client_++;
            clients_.push_back({h, n});
            say("client " + std::to_string(n) + " connected from " + kiv_ipaddress(h, 0));
        }
    }

    void drain_clients() {
        for (size_t i = 0; i < clients_.size();) {
            const Client c = clients_[i];
            drain_tokens(c.handle, "token from client " + std::to_string(c.number) + ": ");
            if (kiv_valid(c.handle) == 1) {
                ++i;
                continue;
            }
            say("client " + std::to_string(c.number) + " closed");
            kiv_disconnect(c.handle);  // frees the handle of the dead connection
            clients_.erase(clients_.begin() + static_cast<long>(i));
        }
    }

    void drain() {
        switch (role_) {
            case Role::plain_server:
                accept_clients();
                drain_clients();
                return;
            case Role::typed_server:
                // A large server is looked over less often: each look asks once per player.
                if (players_.size() <= kPlayersEveryPass || ++passes_ % 10 == 0) watch_players();
                drain_tokens(handle_, "token: ");
                drain_messages();
                watch_slots();
                return;
            case Role::typed:
                drain_tokens(handle_, "token: ");
                drain_messages();
                watch_slots();
                break;
            default:
                drain_tokens(handle_, "token: ");
                break;
        }
        // What the peer sent before it left has been printed by now: the
        // connection stays usable while records of it wait to be taken.
        if (kiv_valid(handle_) != 1) {
            say("closed");
            quit_ = true;
        }
    }

    Role role_;
    double handle_;
    int limit_;
    bool quit_ = false;
    std::string to_host_;
    int to_port_ = 0;
    std::vector<Client> clients_;
    int next_client_ = 1;
    SlotWatch slots_;
    std::vector<std::string> players_;  // address of player n at n - 1; "" while absent
    int live_players_ = 0;
    unsigned passes_ = 0;
};

}  // namespace

int run_connect(const SessionOptions& o) {
    catch_signals();
    const std::string where = o.host + ":" + std::to_string(o.port);
    Role role;
    double h = 0;
    if (o.kind == "plain") {
        role = Role::plain;
        h = kiv_connect(o.host.c_str(), o.port, 1);
        if (h == 0) return complain(library_reason("cannot connect to " + where)), 1;
        say("connected to " + where);
    } else if (o.kind == "relay") {
        role = Role::relay;
        h = kiv_connect(o.host.c_str(), 0, 2);
        if (h == 0) return complain("cannot join session " + o.host + ": " + relay_reason("no relay service")), 1;
        say("joined session " + o.host + " through the relay service");
    } else if (o.kind == "typed") {
        role = Role::typed;
        h = kiv_connect(o.host.c_str(), o.port, 3);
        if (h == 0) return complain(library_reason("cannot join the player server at " + where)), 1;
        say("joined " + where + " as player " + number(kiv_player_id(h)));
    } else {
        role = Role::udp;
        int port = o.port;
        h = udp_on(&port);
        if (h == 0) return complain(library_reason("cannot use udp port " + std::to_string(o.port))), 1;
        say("udp on port " + std::to_string(port));
    }
    Session session(role, h, 0);
    if (role == Role::udp && !o.to.empty()) {
        std::string host;
        int port = 0;
        if (!parse_host_port(o.to, &host, &port)) {
            kiv_disconnect(h);
            return complain("--to needs HOST:PORT, got " + o.to), 2;
        }
        session.set_target(host, port);
    }
    if (o.delimiter_set && kiv_token_delimiter(h, unescape(o.delimiter).c_str()) != 1) {
        kiv_disconnect(h);
        return complain("--delimiter works on plain and udp connections only"), 2;
    }
    return session.run();
}

int run_listen(const SessionOptions& o) {
    catch_signals();
    int port = o.port;
    const double h = listen_on(&port, o.typed ? 3 : 1, o.typed ? o.limit : 0);
    if (h == 0) return complain(library_reason("cannot listen on port " + std::to_string(o.port))), 1;
    say("listening on " + std::to_string(port) + (o.typed ? " (player server)" : ""));
    Session session(o.typed ? Role::typed_server : Role::plain_server, h, o.typed ? 0 : o.limit);
    return session.run();
}

}  // namespace kivcli
