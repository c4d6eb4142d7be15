// File transfer: raw file bytes over plain stream connections, with progress.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <thread>

#include "net/link.h"
#include "net/mutex.h"
#include "net/wake.h"
#include "tokens/tokens.h"

namespace kiv::files {

// One connection's transfer. While one runs, its thread owns the socket's
// bytes: the link does not read, and tokens are neither sent nor taken.
struct Transfer {
    std::atomic<uint8_t> busy{0};
    std::atomic<uint32_t> done{0};
    std::atomic<int32_t> total{0};
    std::atomic<uint8_t> ok{0};  // the last transfer ran to its end (file closed)
    std::atomic<bool> stop{false};  // the connection was torn down: nothing starts any more
    // Starting, stopping and joining the thread happen under `owner`, one
    // host thread at a time: two starts never both pass the busy check, and
    // a thread is never joined twice.
    std::mutex owner;
    std::thread thread;
    net::Wake wake;  // ends the thread's waits for the socket at teardown
    // busy falls and ok is published under m; waiters wait on ended.
    std::mutex m;
    std::condition_variable ended;
};

// The file's size; 0 with *why set when it cannot be opened and read.
double file_size(const char* name, const char** why);

// Both open the file before they return: false (nothing sent, no bytes
// taken) when it cannot be opened, a transfer already runs or the
// connection was torn down; *why then says which. mutex: the connection's,
// guarding link and tokens.
bool start_send(Transfer& t, net::Link& link, net::Mutex& mutex, const char* name, const char** why);
bool start_receive(Transfer& t, net::Link& link, net::Mutex& mutex, tokens::Box& tokens, const char* name,
                   int32_t size, const char** why);

// A receive's first step, from its thread (declared here for the fuzz
// target): moves what the link already read (queued tokens with their
// delimiters, then the bytes not yet cut) into f, up to total bytes. A token
// cut by the file's end goes back, with the tokens and bytes after it, in
// front of the held bytes, where they are cut into tokens again. Needs the
// connection's mutex held. Returns the bytes written, or -1 on a write error.
int64_t put_back(Transfer& t, net::Link& link, tokens::Box& box, std::FILE* f, int64_t total);

// Blocks until the transfer thread is done (never while none runs); true when
// the whole file went through.
bool wait(Transfer& t);
double byte_count(const Transfer& t);
double percentage(const Transfer& t);

// Teardown: stops the thread between blocks and joins it; no transfer
// starts on t afterwards.
void stop(Transfer& t);

}  // namespace kiv::files
