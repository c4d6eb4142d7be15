// kiv-relay server: connection handling, line framing, session fan-out and bounds.
#include "relay.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <utility>

namespace kiv::relay {

namespace {

const char kGreeting[] = "kiv-relay 1\n";
const char kGoodbye = '`';
const char kAddressQuery[] = "IPADDRESS";
// Reads per wake-up before yielding to other clients, so one busy sender cannot starve them.
constexpr int kReadRounds = 4;
constexpr std::size_t kReadChunk = 64 * 1024;
// Buffers handed to one gathered write; well below IOV_MAX.
constexpr std::size_t kMaxGather = 64;
// A partial-line buffer grown past this is released once the line is done, so a
// client that sent one big line does not keep the memory while idle.
constexpr std::size_t kKeepCapacity = 64 * 1024;

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

class Client : public std::enable_shared_from_this<Client> {
public:
    enum class Close {
        flush, // send what is queued first (goodbye)
        now,   // drop the queue
        reset  // drop the queue and have the kernel drop its copy too
    };

    Client(Server& server, asio::ip::tcp::socket socket, const asio::ip::tcp::endpoint& peer)
        : server_(server), socket_(std::move(socket)), timer_(server.io_),
          peer_(describe(peer)), address_(plain_address(peer.address())) {}

    const std::string& peer() const { return peer_; }

    void start() {
        asio::error_code ec;
        socket_.set_option(asio::ip::tcp::no_delay(true), ec);
        socket_.non_blocking(true, ec);
        if (ec) {
            close(Close::now, "socket setup failed: " + ec.message());
            return;
        }
        send(kGreeting);
        arm_timer(server_.options_.handshake_timeout);
        drain();
    }

    // Returns false when the client's queue has grown past the bound.
    bool enqueue(std::shared_ptr<const std::string> data) {
        pending_ += data->size();
        queue_.push_back(std::move(data));
        if (!writing_)
            write_next();
        return pending_ <= server_.options_.max_pending;
    }

    void close(Close how, const std::string& reason) {
        if (state_ == State::closed)
            return;
        auto self = shared_from_this();
        if (state_ != State::closing) {
            server_.leave(*this);
            server_.log("disconnect " + peer_ + " (" + reason + ")");
            if (how == Close::flush && !queue_.empty()) {
                state_ = State::closing;
                arm_timer(server_.options_.goodbye_linger);
                return;
            }
        }
        state_ = State::closed;
        ++timer_gen_;
        timer_.cancel();
        asio::error_code ec;
        if (how == Close::reset)
            socket_.set_option(asio::socket_base::linger(true, 0), ec);
        socket_.close(ec);
        server_.forget(*this);
    }

private:
    friend class Server;
    enum class State { handshake, member, closing, closed };

    bool reading() const { return state_ == State::handshake || state_ == State::member; }

    void send(std::string text) { enqueue(std::make_shared<const std::string>(std::move(text))); }

    void wait_readable() {
        socket_.async_wait(asio::socket_base::wait_read,
                           [self = shared_from_this()](const asio::error_code& ec) {
                               if (!self->reading())
                                   return;
                               if (ec)
                                   self->close(Close::now, "wait failed: " + ec.message());
                               else
                                   self->drain();
                           });
    }

    // Reads until the socket would block. Waiting only after a would-block keeps the
    // edge-triggered reactor from missing data that arrived before the wait was queued.
    void drain() {
        auto& buf = server_.read_buffer_;
        for (int round = 0; round < kReadRounds; ++round) {
            asio::error_code ec;
            std::size_t n = socket_.read_some(asio::buffer(buf), ec);
            if (ec == asio::error::would_block || ec == asio::error::try_again) {
                wait_readable();
                return;
            }
            if (ec == asio::error::eof) {
                close(Close::now, "closed by peer");
                return;
            }
            if (ec) {
                close(Close::now, ec.message());
                return;
            }
            consume(buf.data(), n);
            if (!reading())
                return;
        }
        asio::post(server_.io_, [self = shared_from_this()] {
            if (self->reading())
                self->drain();
        });
    }

    void consume(const char* p, std::size_t n) {
        while (n > 0 && state_ == State::handshake) {
            const char* nl = static_cast<const char*>(std::memchr(p, '\n', n));
            if (!nl) {
                keep_partial(p, n);
                return;
            }
            std::size_t len = static_cast<std::size_t>(nl - p);
            if (partial_.size() + len > server_.options_.max_line) {
                close(Close::now, "line too long");
                return;
            }
            std::string line = std::move(partial_);
            partial_.clear();
            line.append(p, len);
            n -= len + 1;
            p = nl + 1;
            first_line(line);
        }
        if (n > 0 && state_ == State::member)
            consume_member(p, n);
    }

    void first_line(const std::string& line) {
        if (line.size() == 1 && line[0] == kGoodbye) {
            close(Close::flush, "goodbye");
        } else if (line == kAddressQuery) {
            send(address_.to_string() + "\n");
            // Still not a member: the client gets a fresh handshake period to name a session.
            arm_timer(server_.options_.handshake_timeout);
        } else {
            std::size_t others = server_.join(shared_from_this(), line);
            state_ = State::member;
            ++timer_gen_;
            timer_.cancel();
            send(std::to_string(others) + "\n");
        }
    }

    // Forwards all complete lines of this chunk as one batch, so a burst of small lines
    // costs one allocation and one write per recipient rather than one per line.
    void consume_member(const char* p, std::size_t n) {
        const char* end = p + n;
        const char* q = p; // start of the first line not yet in the batch
        bool goodbye = false;
        while (q < end) {
            const char* nl = static_cast<const char*>(std::memchr(q, '\n', static_cast<std::size_t>(end - q)));
            if (!nl)
                break;
            bool first = q == p;
            std::size_t len = static_cast<std::size_t>(nl - q) + (first ? partial_.size() : 0);
            if (len > server_.options_.max_line) {
                close(Close::now, "line too long");
                return;
            }
            if (len == 1 && ((first && !partial_.empty()) ? partial_[0] : *q) == kGoodbye) {
                goodbye = true;
                break;
            }
            q = nl + 1;
        }
        if (q != p) {
            std::string batch;
            batch.reserve(partial_.size() + static_cast<std::size_t>(q - p));
            batch.append(partial_);
            batch.append(p, static_cast<std::size_t>(q - p));
            release_partial();
            server_.forward(*this, std::move(batch));
        }
        if (goodbye) {
            close(Close::flush, "goodbye");
            return;
        }
        keep_partial(q, static_cast<std::size_t>(end - q));
    }

    void keep_partial(const char* p, std::size_t n) {
        if (partial_.size() + n > server_.options_.max_line) {
            close(Close::now, "line too long");
            return;
        }
        partial_.append(p, n);
    }

    void release_partial() {
        if (partial_.capacity() > kKeepCapacity)
            std::string().swap(partial_);
        else
            partial_.clear();
    }

    void write_next() {
        gather_.clear();
        for (std::size_t i = 0; i < queue_.size() && i < kMaxGather; ++i)
            gather_.push_back(asio::buffer(*queue_[i]));
        writing_ = true;
        asio::async_write(socket_, gather_,
                          [self = shared_from_this(), count = gather_.size()](const asio::error_code& ec, std::size_t) {
                              self->written(ec, count);
                          });
    }

    void written(const asio::error_code& ec, std::size_t count) {
        writing_ = false;
        if (state_ == State::closed)
            return;
        if (ec) {
            close(Close::now, "write failed: " + ec.message());
            return;
        }
        for (std::size_t i = 0; i < count; ++i) {
            pending_ -= queue_.front()->size();
            queue_.pop_front();
        }
        if (!queue_.empty())
            write_next();
        else if (state_ == State::closing)
            close(Close::now, "");
    }

    // One timer serves the handshake limit and the goodbye linger; the generation
    // number makes a completion that was already queued when re-armed harmless.
    void arm_timer(std::chrono::milliseconds after) {
        unsigned gen = ++timer_gen_;
        timer_.expires_after(after);
        timer_.async_wait([self = shared_from_this(), gen](const asio::error_code& ec) {
            if (ec || gen != self->timer_gen_)
                return;
            if (self->state_ == State::handshake)
                self->close(Close::now, "handshake timeout");
            else if (self->state_ == State::closing)
                self->close(Close::now, "");
        });
    }

    Server& server_;
    asio::ip::tcp::socket socket_;
    asio::steady_timer timer_;
    unsigned timer_gen_ = 0;
    std::string peer_;
    asio::ip::address address_;
    State state_ = State::handshake;
    std::string partial_;
    // The session entry lives in Server::sessions_; node-based maps keep it in place.
    std::pair<const std::string, Server::Members>* session_ = nullptr;
    std::size_t member_index_ = 0;
    std::deque<std::shared_ptr<const std::string>> queue_;
    std::size_t pending_ = 0;
    bool writing_ = false;
    std::vector<asio::const_buffer> gather_;
};

Server::Server(asio::io_context& io, const Options& options)
    : io_(io), options_(options), acceptor_(io), accept_retry_(io), read_buffer_(kReadChunk) {}

Server::~Server() = default;

void Server::start() {
    asio::ip::tcp::endpoint ep(options_.bind_address, options_.port);
    acceptor_.open(ep.protocol());
    acceptor_.set_option(asio::socket_base::reuse_address(true));
    acceptor_.bind(ep);
    acceptor_.listen(asio::socket_base::max_listen_connections);
    accept_next();
}

std::uint16_t Server::port() const {
    asio::error_code ec;
    auto ep = acceptor_.local_endpoint(ec);
    return ec ? 0 : ep.port();
}

void Server::stop() {
    stopped_ = true;
    asio::error_code ec;
    acceptor_.close(ec);
    accept_retry_.cancel();
    std::vector<std::shared_ptr<Client>> all;
    all.reserve(clients_.size());
    for (auto& kv : clients_)
        all.push_back(kv.second);
    for (auto& c : all)
        c->close(Client::Close::now, "shutdown");
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
        asio::error_code peer_ec;
        auto peer = socket.remote_endpoint(peer_ec);
        if (!peer_ec) {
            auto client = std::make_shared<Client>(*this, std::move(socket), peer);
            clients_.emplace(client.get(), client);
            log("connect " + client->peer() + " (" + std::to_string(clients_.size()) + " connected)");
            client->start();
        }
        accept_next();
    });
}

std::size_t Server::join(const std::shared_ptr<Client>& client, const std::string& session) {
    auto& entry = *sessions_.try_emplace(session).first;
    std::size_t before = entry.second.size();
    client->session_ = &entry;
    client->member_index_ = before;
    entry.second.push_back(client);
    return before;
}

void Server::leave(Client& client) {
    auto* entry = client.session_;
    if (!entry)
        return;
    client.session_ = nullptr;
    Members& members = entry->second;
    std::size_t index = client.member_index_;
    if (index + 1 != members.size()) {
        members[index] = std::move(members.back());
        members[index]->member_index_ = index;
    }
    members.pop_back();
    if (members.empty())
        sessions_.erase(sessions_.find(entry->first)); // erase(key) would read a key it is freeing
}

void Server::forget(Client& client) { clients_.erase(&client); }

void Server::forward(Client& sender, std::string&& lines) {
    Members& members = sender.session_->second;
    if (members.size() < 2)
        return;
    auto batch = std::make_shared<const std::string>(std::move(lines));
    for (auto& member : members)
        if (member.get() != &sender && !member->enqueue(batch))
            overflowed_.push_back(member);
    // Closed only after the loop: closing edits the member list being walked.
    for (auto& member : overflowed_)
        member->close(Client::Close::reset, "send queue full");
    overflowed_.clear();
}

void Server::log(const std::string& line) const {
    if (!options_.quiet)
        std::fprintf(stderr, "kiv-relay: %s\n", line.c_str());
}

} // namespace kiv::relay
