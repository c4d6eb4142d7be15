// kiv-relay server: the sockets, timers and event loop around the relay core.
#pragma once

#ifndef ASIO_STANDALONE
#define ASIO_STANDALONE
#endif
#include <asio.hpp>

#include "core.hpp"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace kiv::relay {

struct Options {
    asio::ip::address bind_address = asio::ip::address_v4::any();
    std::uint16_t port = 9713;
    bool quiet = false;
    bool stats = false; // print the core's counters on stderr when stopping
    Limits limits;
};

class Server final : private Shell {
public:
    Server(asio::io_context& io, const Options& options);
    ~Server() override;
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Throws asio::system_error when the address cannot be bound.
    void start();
    std::uint16_t port() const;
    // Closes the listener and every client; io_context::run() then returns once the
    // other users of the loop (a cluster link) have let go.
    void stop();
    Core& core() { return core_; }

private:
    struct Conn;

    void accept_next();
    void arm_tick();
    void drain(const std::shared_ptr<Conn>& conn);
    void wait_readable(const std::shared_ptr<Conn>& conn);
    void write_next(const std::shared_ptr<Conn>& conn);
    void want_write(ClientId id) override;
    void want_read(ClientId id) override;
    void close(ClientId id, bool reset) override;
    void log(const std::string& line) override;

    asio::io_context& io_;
    Options options_;
    Core core_;
    asio::ip::tcp::acceptor acceptor_;
    asio::steady_timer accept_retry_;
    asio::steady_timer tick_;
    bool stopped_ = false;
    ClientId next_id_ = 1;
    std::unordered_map<ClientId, std::shared_ptr<Conn>> conns_;
    // Shared by all clients: reads are drained synchronously, so one buffer suffices
    // and idle clients cost no read buffer of their own.
    std::vector<char> read_buffer_;
};

} // namespace kiv::relay
