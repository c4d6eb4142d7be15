// File transfer: raw file bytes over plain stream connections, with progress.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <thread>

#include "net/link.h"
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
    std::atomic<bool> stop{false};
    std::FILE* file = nullptr;  // handed to the thread
    std::thread thread;
    net::Wake wake;  // ends the thread's waits for the socket at teardown
    std::mutex m;
    std::condition_variable ended;
};

double file_size(const char* name);

// Both open the file before they return: false (nothing sent, no bytes
// taken) when it cannot be opened or a transfer already runs. mutex: the
// connection's, guarding link and tokens.
bool start_send(Transfer& t, net::Link& link, std::mutex& mutex, const char* name);
bool start_receive(Transfer& t, net::Link& link, std::mutex& mutex, tokens::Box& tokens, const char* name,
                   int32_t size);

// A receive's first step, from its thread (declared here for the fuzz
// target): moves what the link already read (queued tokens with their
// delimiters, then the bytes not yet cut) into f, up to total bytes. A token
// cut by the file's end goes back, with the tokens and bytes after it, in
// front of the held bytes, where they are cut into tokens again. Caller holds
// the connection's mutex. Returns the bytes written, or -1 on a write error.
int64_t put_back(Transfer& t, net::Link& link, tokens::Box& box, std::FILE* f, int64_t total);

// Blocks until the transfer thread is done (never while none runs); true when
// the whole file went through.
bool wait(Transfer& t);
double byte_count(const Transfer& t);
double percentage(const Transfer& t);

// Teardown: stops the thread between blocks and joins it.
void stop(Transfer& t);

}  // namespace kiv::files
