// kiv-relay server: accepts clients, reads and writes their sockets for the core, runs its clock.
#include "relay.hpp"

#include <cerrno>
#include <cstdio>
#include <utility>

namespace kiv::relay {

namespace {

// Reads per wake-up before yielding to other clients, so one busy sender cannot starve them.
constexpr int kReadRounds = 4;
constexpr std::size_t kReadChunk = 64 * 1024;
// Buffers handed to one gathered write; well below IOV_MAX.
constexpr std::size_t kMaxGather = 64;

// IPv4 peers of a dual-stack listener show up as ::ffff:a.b.c.d; clients want a.b.c.d.
asio::ip::address plain_address(const asio::ip::address& a) {
    if (a.is_v6() && a.to_v6().is_v4_mapped())
        return asio::ip::make_address_v4(asio::ip::v4_mapped, a.to_v6());
    return a;
}

std::string describe(const asio::ip::tcp::endpoint& ep) {
    auto a = plain_address(ep.address());
    std::string host = a.is_v6() ? "[" + a.to_string() + "]" : a.to_string();
    return host + ":" + std::to_string(ep.port());
}

} // namespace

struct Server::Conn {
    Conn(ClientId id, asio::ip::tcp::socket s) : id(id), socket(std::move(s)) {}
    ClientId id;
    asio::ip::tcp::socket socket;
    bool open = true;
    bool waiting = false; // a readiness wait is queued
    bool draining = false; // a drain is posted
    bool writing = false;
    std::vector<Chunk> in_flight; // kept alive while the write uses them
    std::vector<asio::const_buffer> gather;
};

Server::Server(asio::io_context& io, const Options& options)
    : io_(io), options_(options), core_(options.limits, *this), acceptor_(io), accept_retry_(io), tick_(io),
      read_buffer_(kReadChunk) {}

Server::~Server() = default;

void Server::start() {
    asio::ip::tcp::endpoint ep(options_.bind_address, options_.port);
    acceptor_.open(ep.protocol());
    acceptor_.set_option(asio::socket_base::reuse_address(true));
    acceptor_.bind(ep);
    acceptor_.listen(asio::socket_base::max_listen_connections);
    accept_next();
    arm_tick();
}

std::uint16_t Server::port() const {
    asio::error_code ec;
    auto ep = acceptor_.local_endpoint(ec);
    return ec ? 0 : ep.port();
}

void Server::stop() {
    if (stopped_)
        return;
    stopped_ = true;
    asio::error_code ec;
    acceptor_.close(ec);
    accept_retry_.cancel();
    tick_.cancel();
    core_.shutdown();
    if (options_.stats) {
        Stats s = core_.stats();
        std::fprintf(stderr,
                     "kiv-relay: stats peak_held=%zu peak_queue=%zu dropped_full=%llu dropped_stalled=%llu "
                     "dropped_line=%llu dropped_budget=%llu\n",
                     s.peak_held, s.peak_queue, static_cast<unsigned long long>(s.dropped_full),
                     static_cast<unsigned long long>(s.dropped_stalled),
                     static_cast<unsigned long long>(s.dropped_line),
                     static_cast<unsigned long long>(s.dropped_budget));
        std::fflush(stderr);
    }
}

void Server::arm_tick() {
    tick_.expires_after(core_.tick_interval());
    tick_.async_wait([this](const asio::error_code& ec) {
        if (ec || stopped_)
            return;
        core_.tick(Clock::now());
        arm_tick();
    });
}

void Server::accept_next() {
    acceptor_.async_accept([this](const asio::error_code& ec, asio::ip::tcp::socket socket) {
        if (stopped_ || ec == asio::error::operation_aborted)
            return;
        if (ec) {
            log("accept failed: " + ec.message());
            bool exhausted = ec == asio::error::no_descriptors || ec == asio::error::no_buffer_space ||
                             ec == asio::error::no_memory ||
                             ec == asio::error_code(ENFILE, asio::error::get_system_category());
            if (exhausted) {
                // The pending connection stays in the backlog; retrying at once would spin.
                accept_retry_.expires_after(std::chrono::milliseconds(100));
                accept_retry_.async_wait([this](const asio::error_code& wait_ec) {
                    if (!wait_ec && !stopped_)
                        accept_next();
                });
                return;
            }
            accept_next();
            return;
        }
        asio::error_code peer_ec, opt_ec;
        auto peer = socket.remote_endpoint(peer_ec);
        socket.set_option(asio::ip::tcp::no_delay(true), opt_ec);
        if (!opt_ec)
            socket.non_blocking(true, opt_ec);
        if (!peer_ec && !opt_ec) {
            ClientId id = next_id_++;
            auto conn = std::make_shared<Conn>(id, std::move(socket));
            conns_.emplace(id, conn);
            core_.open(id, plain_address(peer.address()).to_string(), describe(peer), Clock::now());
            if (conn->open)
                drain(conn);
        }
        accept_next();
    });
}

// Reads until the socket would block or the core pauses the client. Waiting only after
// a would-block keeps the edge-triggered reactor from missing data that arrived before
// the wait was queued.
void Server::drain(const std::shared_ptr<Conn>& conn) {
    for (int round = 0; round < kReadRounds; ++round) {
        if (!conn->open || !core_.readable(conn->id))
            return;
        asio::error_code ec;
        std::size_t n = conn->socket.read_some(asio::buffer(read_buffer_), ec);
        if (ec == asio::error::would_block || ec == asio::error::try_again) {
            wait_readable(conn);
            return;
        }
        if (ec) {
            core_.ended(conn->id, ec == asio::error::eof ? "closed by peer" : ec.message(), Clock::now());
            return;
        }
        core_.input(conn->id, read_buffer_.data(), n, Clock::now());
    }
    want_read(conn->id);
}

void Server::wait_readable(const std::shared_ptr<Conn>& conn) {
    if (conn->waiting)
        return;
    conn->waiting = true;
    conn->socket.async_wait(asio::socket_base::wait_read, [this, conn](const asio::error_code& ec) {
        conn->waiting = false;
        if (!conn->open)
            return;
        if (ec)
            core_.ended(conn->id, "wait failed: " + ec.message(), Clock::now());
        else
            drain(conn);
    });
}

void Server::want_read(ClientId id) {
    auto it = conns_.find(id);
    if (it == conns_.end() || it->second->draining)
        return;
    auto conn = it->second;
    conn->draining = true;
    asio::post(io_, [this, conn] {
        conn->draining = false;
        drain(conn);
    });
}

void Server::want_write(ClientId id) {
    auto it = conns_.find(id);
    if (it != conns_.end() && !it->second->writing)
        write_next(it->second);
}

void Server::write_next(const std::shared_ptr<Conn>& conn) {
    std::size_t offset = 0;
    const auto* queue = core_.output(conn->id, &offset);
    if (!queue)
        return;
    conn->gather.clear();
    conn->in_flight.clear();
    for (std::size_t i = 0; i < queue->size() && i < kMaxGather; ++i) {
        const Chunk& chunk = (*queue)[i];
        conn->in_flight.push_back(chunk);
        conn->gather.push_back(asio::buffer(*chunk) + (i == 0 ? offset : 0));
    }
    conn->writing = true;
    conn->socket.async_write_some(conn->gather, [this, conn](const asio::error_code& ec, std::size_t n) {
        conn->writing = false;
        conn->in_flight.clear();
        if (!conn->open)
            return;
        if (ec) {
            core_.ended(conn->id, "write failed: " + ec.message(), Clock::now());
            return;
        }
        core_.wrote(conn->id, n, Clock::now());
        if (conn->open)
            write_next(conn);
    });
}

void Server::close(ClientId id, bool reset) {
    auto it = conns_.find(id);
    if (it == conns_.end())
        return;
    auto conn = std::move(it->second);
    conns_.erase(it);
    conn->open = false;
    asio::error_code ec;
    if (reset)
        conn->socket.set_option(asio::socket_base::linger(true, 0), ec);
    conn->socket.close(ec);
}

void Server::log(const std::string& line) {
    if (!options_.quiet)
        std::fprintf(stderr, "kiv-relay: %s\n", line.c_str());
}

} // namespace kiv::relay
