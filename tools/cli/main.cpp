// kiv: the command-line front end — every subcommand uses only the library's exported functions.
#include <CLI/CLI.hpp>

#include <unistd.h>

#include <climits>
#include <cstdio>
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

int run_whoami() {
    const std::string address = kiv_ipaddress(-1, 0);
    if (address.empty()) {
        kivcli::complain("no answer from the relay service (is kiv-relay running?)");
        return 1;
    }
    kivcli::say(address);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"kiv: talk to kiv programs and scripts from the command line"};
    app.set_version_flag("--version", std::string(copyright()));
    app.require_subcommand(1);
    app.footer("In connect and listen, lines typed on stdin are sent as tokens; /help lists the commands.");

    kivcli::SessionOptions session;
    auto* connect = app.add_subcommand("connect", "open a connection and talk through it");
    connect->add_option("HOST", session.host, "address or name (for --kind relay: the session name)")->required();
    connect->add_option("PORT", session.port, "port (for --kind udp: the local port to use, 0 for any)")
        ->check(CLI::Range(0, 65535));
    connect->add_option("--kind", session.kind, "plain, relay, typed or udp")
        ->check(CLI::IsMember({"plain", "relay", "typed", "udp"}))
        ->capture_default_str();
    connect->add_option("--to", session.to, "udp: where typed lines go, HOST:PORT");
    connect->add_option("--delimiter", session.delimiter, "plain and udp: token delimiter (\\n \\r \\t escapes)");

    kivcli::SessionOptions server;
    auto* listen = app.add_subcommand("listen", "be a server and talk to its clients or players");
    listen->add_option("PORT", server.port, "port to listen on (0: a free one, printed)")
        ->required()
        ->check(CLI::Range(0, 65535));
    listen->add_flag("--typed", server.typed, "be a player server (typed connections)");
    listen->add_option("--limit", server.limit, "most players (typed) or clients (plain) at once")
        ->check(CLI::Range(0, 5000));

    kivcli::TransferOptions send;
    auto* send_file = app.add_subcommand("send-file", "send a file to `kiv recv-file` (or a script)");
    send_file->add_option("HOST", send.host, "receiver's address")->required();
    send_file->add_option("PORT", send.port, "receiver's port")->required()->check(CLI::Range(1, 65535));
    send_file->add_option("FILE", send.file, "file to send")->required();
    send_file->add_option("--stall", send.stall_seconds, "give up when nothing moves for this many seconds (0: never)")
        ->capture_default_str();

    kivcli::TransferOptions recv;
    auto* recv_file = app.add_subcommand("recv-file", "receive one file from `kiv send-file` (or a script)");
    recv_file->add_option("PORT", recv.port, "port to listen on (0: a free one, printed)")
        ->required()
        ->check(CLI::Range(0, 65535));
    recv_file->add_option("FILE", recv.file, "where to store the file")->required();
    recv_file->add_option("--stall", recv.stall_seconds, "give up when nothing moves for this many seconds (0: never)")
        ->capture_default_str();
    recv_file->add_option("--timeout", recv.timeout_seconds, "give up when no sender came within this many seconds");

    auto* whoami = app.add_subcommand("whoami", "this machine's address as the relay service sees it");

    int relay_port = 9713;
    std::string relay_bind;
    bool relay_quiet = false;
    auto* relay = app.add_subcommand("relay", "run the relay service (kiv-relay)");
    auto* relay_port_option = relay->add_option("--port", relay_port, "TCP port")->check(CLI::Range(0, 65535));
    relay->add_option("--bind", relay_bind, "address to listen on");
    relay->add_flag("--quiet", relay_quiet, "do not log clients coming and going");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int status = app.exit(e);
        return status == 0 ? 0 : 2;
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
