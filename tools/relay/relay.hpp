// kiv-relay server: accepts clients, groups them into named sessions and fans lines out.
#pragma once

#ifndef ASIO_STANDALONE
#define ASIO_STANDALONE
#endif
#include <asio.hpp>

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
    std::chrono::milliseconds handshake_timeout{10000};
    // A public server must cap what one peer can make it hold.
    std::size_t max_line = 1024 * 1024;            // bytes of one line, without "\n"
    std::size_t max_pending = 8 * 1024 * 1024;     // bytes queued towards one client
    std::chrono::milliseconds goodbye_linger{5000}; // flushing time after a goodbye
};

class Client;

class Server {
public:
    Server(asio::io_context& io, const Options& options);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Throws asio::system_error when the address cannot be bound.
    void start();
    std::uint16_t port() const;
    // Closes the listener and every client; io_context::run() then returns.
    void stop();

private:
    friend class Client;
    using Members = std::vector<std::shared_ptr<Client>>;

    void accept_next();
    // Returns the number of members that were there before.
    std::size_t join(const std::shared_ptr<Client>& client, const std::string& session);
    void leave(Client& client);
    void forget(Client& client);
    // Sends one batch of complete lines to every member of the sender's session but the sender.
    void forward(Client& sender, std::string&& lines);
    void log(const std::string& line) const;

    asio::io_context& io_;
    Options options_;
    asio::ip::tcp::acceptor acceptor_;
    asio::steady_timer accept_retry_;
    bool stopped_ = false;
    std::unordered_map<Client*, std::shared_ptr<Client>> clients_;
    std::unordered_map<std::string, Members> sessions_;
    // Shared by all clients: reads are drained synchronously, so one buffer suffices
    // and idle clients cost no read buffer of their own.
    std::vector<char> read_buffer_;
    std::vector<std::shared_ptr<Client>> overflowed_; // scratch for forward()
};

} // namespace kiv::relay
