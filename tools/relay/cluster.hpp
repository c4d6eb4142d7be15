// kiv-relay cluster link: instances share their sessions through a NATS server.
#pragma once

#include "relay.hpp"

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

namespace kiv::relay {

struct ClusterOptions {
    std::string url;                               // nats://HOST:PORT
    std::string name = "kiv";                      // instances with the same name share sessions
    std::chrono::milliseconds heartbeat{1000};     // liveness writes; silent for 3.5 of them, an instance is gone
    std::size_t max_in_flight = 16 * 1024 * 1024; // bytes of lines queued towards, and from, the NATS server
    bool stats = false;                            // print the link's counters on stderr when stopping
};

class Cluster {
public:
    virtual ~Cluster() = default;
    // Leaves the cluster: takes this instance's counts out of the shared store and stops the
    // link's threads.
    virtual void stop() = 0;
};

// Joins the cluster on `server`'s loop; null with `error` set when the options are unusable.
// An unreachable NATS server is not an error: the instance serves its own members until it comes.
std::unique_ptr<Cluster> join_cluster(asio::io_context& io, Server& server, const ClusterOptions& options,
                                      std::string* error);

// The NATS subject token for a session name: a hash, so that any bytes are safe.
std::string session_subject_token(const std::string& session);

} // namespace kiv::relay
