// kiv: the command-line front end — every subcommand uses only the library's exported functions.
#include <CLI/CLI.hpp>

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common.h"
#include "kiv.h"
#include "session.h"
#include "transfer.h"

namespace {

// The folder this program lives in, for finding kiv-relay beside it.
std::string own_folder() {
    char buf[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return "";
    std::string path(buf, static_cast<size_t>(n));
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "" : path.substr(0, slash);
}

int run_relay(int port, bool port_set, const std::string& bind, bool quiet) {
    std::vector<std::string> args{"kiv-relay"};
    if (port_set) {
        args.push_back("--port");
        args.push_back(std::to_string(port));
    }
    if (!bind.empty()) {
        args.push_back("--bind");
        args.push_back(bind);
    }
    if (quiet) args.push_back("--quiet");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    std::fflush(stdout);
    const std::string beside = own_folder() + "/kiv-relay";
    if (access(beside.c_str(), X_OK) == 0) execv(beside.c_str(), argv.data());
    execvp("kiv-relay", argv.data());
    kivcli::complain("cannot run kiv-relay: it is neither beside kiv nor on PATH");
    return 127;
}

// Checks that give one plain reason: CLI11's own range check says "not in
// range" for a word that is no number at all.
CLI::Validator whole_number(long long lowest, long long highest, const std::string& what) {
    const std::string range = std::to_string(lowest) + ".." + std::to_string(highest);
    return CLI::Validator(
        [=](std::string& text) -> std::string {
            long long n = 0;
            if (!kivcli::parse_integer(text, &n) || n < lowest || n > highest) {
                return text + " is not " + what + " (" + range + ")";
            }
            return "";
        },
        "INT in " + range);
}

CLI::Validator seconds() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            char* end = nullptr;
            const double v = std::strtod(text.c_str(), &end);
            if (text.empty() || *end != 0 || !(v >= 0) || v > 1e9) return text + " is not a number of seconds";
            return "";
        },
        "SECONDS");
}

// One line for a wrong command line: "kiv: ", the reason, where help is.
int usage_error(const CLI::App& app, const CLI::ParseError& e) {
    std::string help = "kiv --help";
    const CLI::App* sub = app.get_subcommands().empty() ? nullptr : app.get_subcommands().front();
    if (sub) help = "kiv " + sub->get_name() + " --help";
    std::string why = e.what();
    if (dynamic_cast<const CLI::ExtrasError*>(&e)) {
        why = "unexpected";
        for (const std::string& extra : app.remaining(true)) why += " " + extra;
    }
    const size_t nl = why.find('\n');
    if (nl != std::string::npos) why.erase(nl);
    kivcli::complain(why + " (" + help + ")");
    return 2;
}

int run_whoami() {
    const std::string address = kiv_ipaddress(-1, 0);
    if (address.empty()) {
        kivcli::complain(kivcli::relay_reason("no answer from the relay service"));
        return 1;
    }
    kivcli::say(address);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"kiv: talk to kiv programs and scripts from the command line"};
    bool show_version = false;
    app.add_flag("--version", show_version, "print the version and exit");
    std::string trace_file;
    app.add_option("--trace", trace_file, "append the wire trace to FILE: a line per record and connection (KIV_TRACE)")
        ->type_name("FILE");
    // Global options may follow the command too: `kiv connect HOST PORT --trace FILE`.
    app.fallthrough();
    app.require_subcommand(0, 1);
    const char* const stdin_note = "Lines typed on stdin are sent as tokens; /help lists the commands.";

    kivcli::SessionOptions session;
    auto* connect = app.add_subcommand("connect", "open a connection and talk through it");
    connect->footer(stdin_note);
    connect->add_option("HOST", session.host, "address or name (for --kind relay: the session name)")->required();
    connect->add_option("PORT", session.port, "port (for --kind udp: the local port to use, 0 for any)")
        ->check(whole_number(0, 65535, "a port number"));
    connect->add_option("--kind", session.kind, "plain, relay, typed or udp")
        ->check(CLI::IsMember({"plain", "relay", "typed", "udp"}))
        ->capture_default_str();
    connect->add_option("--to", session.to, "udp: where typed lines go, HOST:PORT");
    connect->add_option("--delimiter", session.delimiter, "plain and udp: token delimiter (\\n \\r \\t escapes)");

    kivcli::SessionOptions server;
    auto* listen = app.add_subcommand("listen", "be a server and talk to its clients or players");
    listen->footer(stdin_note);
    listen->add_option("PORT", server.port, "port to listen on (0: a free one, printed)")
        ->required()
        ->check(whole_number(0, 65535, "a port number"));
    listen->add_flag("--typed", server.typed, "be a player server (typed connections)");
    listen->add_option("--limit", server.limit, "most players (typed) or clients (plain) at once")
        ->check(whole_number(0, 5000, "a number of players or clients"));

    kivcli::TransferOptions send;
    auto* send_file = app.add_subcommand("send-file", "send a file to `kiv recv-file` (or a script)");
    send_file->add_option("HOST", send.host, "receiver's address")->required();
    send_file->add_option("PORT", send.port, "receiver's port")
        ->required()
        ->check(whole_number(1, 65535, "a port number"));
    send_file->add_option("FILE", send.file, "file to send")->required();
    send_file->add_option("--stall", send.stall_seconds, "give up when nothing moves for this many seconds (0: never)")
        ->check(seconds())
        ->capture_default_str();

    kivcli::TransferOptions recv;
    auto* recv_file = app.add_subcommand("recv-file", "receive one file from `kiv send-file` (or a script)");
    recv_file->add_option("PORT", recv.port, "port to listen on (0: a free one, printed)")
        ->required()
        ->check(whole_number(0, 65535, "a port number"));
    recv_file->add_option("FILE", recv.file, "where to store the file")->required();
    recv_file->add_option("--stall", recv.stall_seconds, "give up when nothing moves for this many seconds (0: never)")
        ->check(seconds())
        ->capture_default_str();
    recv_file->add_option("--timeout", recv.timeout_seconds, "give up when no sender came within this many seconds")
        ->check(seconds());

    auto* whoami = app.add_subcommand("whoami", "this machine's address as the relay service sees it");

    int relay_port = 9713;
    std::string relay_bind;
    bool relay_quiet = false;
    auto* relay = app.add_subcommand("relay", "run the relay service (kiv-relay)");
    relay->footer("Scripts and kiv find a relay on another machine or port through KIV_RELAY=HOST:PORT.");
    auto* relay_port_option =
        relay->add_option("--port", relay_port, "TCP port (0: a free one, printed)")
            ->check(whole_number(0, 65535, "a port number"));
    relay->add_option("--bind", relay_bind, "address to listen on");
    relay->add_flag("--quiet", relay_quiet, "do not log clients coming and going");

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        // A first word that names no command says so, not "arguments were not expected".
        if (argc > 1 && argv[1][0] != '-' && app.get_subcommands().empty()) {
            kivcli::complain(std::string("unknown command ") + argv[1] +
                             " (commands: connect, listen, send-file, recv-file, whoami, relay; kiv --help)");
            return 2;
        }
        return usage_error(app, e);
    }
    if (!trace_file.empty()) {
        // Said now, not silently dropped by the library, which reads
        // KIV_TRACE at its first call: that call comes after this.
        std::FILE* f = std::fopen(trace_file.c_str(), "a");
        if (!f) {
            kivcli::complain("--trace: cannot append to " + trace_file + ": " + std::strerror(errno));
            return 2;
        }
        std::fclose(f);
        setenv("KIV_TRACE", trace_file.c_str(), 1);
    }
    if (show_version) {
        kivcli::say("kiv " KIV_VERSION_STRING);
        kivcli::say(copyright());
        return 0;
    }
    if (app.get_subcommands().empty()) {
        kivcli::complain("a command is needed: connect, listen, send-file, recv-file, whoami or relay (kiv --help)");
        return 2;
    }

    if (connect->parsed()) {
        if (session.kind != "relay" && connect->count("PORT") == 0) {
            kivcli::complain("connect needs a PORT (only --kind relay goes without)");
            return 2;
        }
        if (session.kind != "udp" && !session.to.empty()) {
            kivcli::complain("--to is for --kind udp");
            return 2;
        }
        if (session.kind == "relay" && connect->count("PORT") > 0) {
            kivcli::complain("note: PORT " + std::to_string(session.port) +
                             " is not used with --kind relay (KIV_RELAY names the relay service)");
        }
        session.delimiter_set = connect->count("--delimiter") > 0;
        return kivcli::run_connect(session);
    }
    if (listen->parsed()) return kivcli::run_listen(server);
    if (send_file->parsed()) return kivcli::run_send_file(send);
    if (recv_file->parsed()) return kivcli::run_recv_file(recv);
    if (whoami->parsed()) return run_whoami();
    if (relay->parsed()) return run_relay(relay_port, relay_port_option->count() > 0, relay_bind, relay_quiet);
    return 2;
}
