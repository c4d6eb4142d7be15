// File transfer over plain stream connections: the sender and receiver threads, waiting, progress.
//
// A transfer owns its connection while it runs: its thread holds the
// connection's mutex from start to end, so the receive worker pauses and the
// socket's bytes (both ways) belong to the file. The wire carries the file's
// bytes and nothing else; the size travels separately (as a token the
// scripts exchange before).
#include "files/files.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <new>
#include <system_error>
#include <thread>
#include <utility>

namespace kiv {

namespace {

// The file goes out in runs of 256 blocks of 255 bytes, one write per run
// rather than per block, so that a large file does not cost a system call
// every 255 bytes; the bytes on the wire are the same. A receive reads runs
// of the same size, so progress moves by at most a run either way.
constexpr size_t kBlock = 255;
constexpr size_t kSendRun = 256 * kBlock;
constexpr size_t kReceiveChunk = kSendRun;
// Longest single wait for the socket before the stop flag and the peer are
// looked at again; bounds how long a disconnect waits for the thread.
constexpr int kSocketWaitMs = 10;
// A transfer carries a signed 32-bit count of bytes.
constexpr int64_t kMaxTransfer = 0x7FFFFFFF;

struct FileCloser {
    void operator()(std::FILE* f) const {
        if (f) std::fclose(f);
    }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Closes the file and reports whether everything written reached it.
bool close_file(File& f) {
    std::FILE* raw = f.release();
    return raw && std::fclose(raw) == 0;
}

// The file's size, or -1 when it cannot be opened for reading or read (a
// folder). The stream's offsets are 64-bit on every system the library is
// built for, unlike ftell's on Windows, which wraps past 2 GiB.
int64_t measure(const char* name) {
    std::ifstream in(name, std::ios::binary);
    if (!in) return -1;
    in.peek();
    if (in.bad()) return -1;
    in.clear();
    in.seekg(0, std::ios::end);
    const std::streamoff end = in.tellg();
    return end < 0 ? -1 : static_cast<int64_t>(end);
}

// Sends exactly file_total bytes of f, opened by file_send. Caller holds
// c.mutex.
bool send_file(Connection& c, File& f) {
    if (c.stop.load() || c.socket.load() == platform::invalid_socket) return false;
    const int64_t total = c.file_total.load();
    std::unique_ptr<char[]> run(new (std::nothrow) char[kSendRun]);
    if (!run) return false;
    int64_t done = 0;
    while (done < total) {
        size_t want = kSendRun;
        if (static_cast<int64_t>(want) > total - done) want = static_cast<size_t>(total - done);
        const size_t n = std::fread(run.get(), 1, want, f.get());
        // A file that shrank or cannot be read any more ends the transfer short.
        if (n == 0) return false;
        // The last write lets the system send at once; the others let it
        // fill whole segments.
        const bool more = done + static_cast<int64_t>(n) < total;
        size_t off = 0;
        while (off < n) {
            if (c.stop.load()) return false;
            const platform::Io r = send_behind_outbox(c, run.get() + off, n - off, more);
            if (r.status == platform::Status::ok && r.bytes > 0) {
                off += r.bytes;
                done += static_cast<int64_t>(r.bytes);
                c.file_done.store(static_cast<uint32_t>(done));
                continue;
            }
            // A failed socket ends the transfer; the worker tears the
            // connection down once it runs again.
            if (r.status == platform::Status::error || r.status == platform::Status::closed) return false;
            if (!platform::wait_writable(c.socket.load(), kSocketWaitMs) && liveness(c) == Liveness::dead) {
                return false;
            }
        }
    }
    return close_file(f);
}

// Writes taken bytes to the file up to the transfer's size; once one did
// not fit, it and everything after it are kept in `rest`, in order.
class PutBack {
public:
    PutBack(Connection& c, std::FILE* f, int64_t room) : c_(c), f_(f), room_(room) {}

    void take(const char* p, uint32_t n) {
        uint32_t fit = 0;
        if (rest_.empty() && left() > 0) fit = static_cast<int64_t>(n) < left() ? n : static_cast<uint32_t>(left());
        if (fit > 0) {
            if (std::fwrite(p, 1, fit, f_) != fit) failed_ = true;
            done_ += fit;
            c_.file_done.store(static_cast<uint32_t>(done_));
        }
        if (fit < n) rest_.append(p + fit, n - fit);
    }

    int64_t left() const { return failed_ ? 0 : room_ - done_; }
    int64_t done() const { return done_; }
    bool failed() const { return failed_; }
    ByteString& rest() { return rest_; }

private:
    Connection& c_;
    std::FILE* f_;
    const int64_t room_;
    int64_t done_ = 0;
    bool failed_ = false;
    ByteString rest_;
};

// Moves what the worker already took from the socket (queued tokens with
// their delimiters, then the unread part of the receive buffer) into the
// file, up to its size. A token cut by the file's end goes back, with the
// tokens and bytes after it, to the front of the receive buffer, where the
// worker cuts them into tokens again. Caller holds c.mutex. Returns the
// bytes written, or -1 on a write error.
int64_t put_back(Connection& c, std::FILE* f, int64_t total) {
    PutBack out(c, f, total);
    while (out.left() > 0 && out.rest().empty()) {
        const TokenRecord* t = c.tokens.front();
        if (!t) break;
        out.take(t->text.data(), t->text.length());
        out.take(t->delimiter.data(), t->delimiter.length());
        c.tokens.pop();
    }
    const uint32_t unread = c.receive_buffer.length() - c.rx_start;
    ByteString& rest = out.rest();
    if (!rest.empty()) {
        while (const TokenRecord* t = c.tokens.front()) {
            rest.append(t->text);
            rest.append(t->delimiter);
            c.tokens.pop();
        }
        rest.append(c.receive_buffer.data() + c.rx_start, unread);
        c.receive_buffer.swap(rest);
        c.rx_start = 0;
    } else if (out.left() > 0 && unread > 0) {
        const uint32_t fit = static_cast<int64_t>(unread) < out.left() ? unread : static_cast<uint32_t>(out.left());
        out.take(c.receive_buffer.data() + c.rx_start, fit);
        c.rx_start += fit;
    } else {
        return out.failed() ? -1 : out.done();  // the receive buffer is untouched
    }
    if (c.rx_start >= c.receive_buffer.length()) {
        c.receive_buffer.clear();
        c.rx_start = 0;
    } else if (c.rx_start > 0) {
        c.receive_buffer.erase_front(c.rx_start);
        c.rx_start = 0;
    }
    c.scan_from = 0;
    c.rx_pending.store(c.receive_buffer.length());
    return out.failed() ? -1 : out.done();
}

// Receives exactly file_total bytes into f, created by file_receive, never a
// byte more: what follows the file stays in the socket for the worker.
// Caller holds c.mutex.
bool receive_file(Connection& c, File& f) {
    c.file_done.store(0);
    // The socket stays open while this thread holds the mutex: only the
    // worker's step (which needs it) or a teardown that joins this thread
    // first can close it.
    const platform::socket_t s = c.socket.load();
    if (c.stop.load() || s == platform::invalid_socket) return false;
    const int64_t total = c.file_total.load();
    int64_t done = put_back(c, f.get(), total);
    if (done < 0) return false;
    if (total <= 0) return close_file(f) && total == 0;
    std::unique_ptr<char[]> chunk(new (std::nothrow) char[kReceiveChunk]);
    if (!chunk) return false;
    while (done < total) {
        if (c.stop.load()) return false;
        size_t want = kReceiveChunk;
        if (static_cast<int64_t>(want) > total - done) want = static_cast<size_t>(total - done);
        const platform::Io r = platform::recv(s, chunk.get(), want, false);
        if (r.status == platform::Status::ok && r.bytes > 0) {
            if (std::fwrite(chunk.get(), 1, r.bytes, f.get()) != r.bytes) return false;
            done += static_cast<int64_t>(r.bytes);
            c.file_done.store(static_cast<uint32_t>(done));
            continue;
        }
        // The peer left (in order or not) before the whole file came.
        if (r.status != platform::Status::would_block) return false;
        if (!platform::wait_readable(s, kSocketWaitMs)) {
            const Liveness l = liveness(c);
            if (l == Liveness::closed || l == Liveness::dead) return false;
        }
    }
    return close_file(f);
}

void run_transfer(Connection* c, std::FILE* raw, bool (*body)(Connection&, File&)) {
    File f(raw);
    std::lock_guard<std::mutex> lk(c->mutex);
    // The file is closed inside body (or here, on the way out); the result
    // is published before busy falls, so a wait that sees busy low also sees
    // the outcome.
    c->file_ok.store(body(*c, f) ? 1 : 0);
    f.reset();
    c->file_busy.store(0);
}

void send_main(Connection* c, std::FILE* f) { run_transfer(c, f, send_file); }
void receive_main(Connection* c, std::FILE* f) { run_transfer(c, f, receive_file); }

bool may_start(Connection& c) {
    return c.kind.load() == kPlain && !c.is_listening() && c.file_busy.load() == 0;
}

// Starts the transfer thread on the opened file, which it then owns.
bool start(Connection& c, const char* name, File f, int32_t total, void (*thread_main)(Connection*, std::FILE*)) {
    // The previous transfer has lowered busy: it is ending, if not ended.
    if (c.file_thread.joinable()) c.file_thread.join();
    c.file_busy.store(1);
    c.file_ok.store(0);
    c.file_name.assign(name);
    c.file_done.store(0);
    c.file_total.store(total);
    try {
        c.file_thread = std::thread(thread_main, &c, f.get());
    } catch (const std::system_error&) {
        c.file_busy.store(0);
        return false;  // f closes the file
    }
    f.release();
    return true;
}

}  // namespace

double file_size(const char* name) {
    const int64_t size = measure(name);
    return size < 0 ? 0.0 : static_cast<double>(size);
}

// Both calls open the file before they return, so that a file that cannot
// be read or created is reported at once (0) and the connection is left as
// it was: nothing sent, no bytes taken from it.
bool file_send(Connection& c, const char* name) {
    if (!may_start(c)) return false;
    File f(std::fopen(name, "rb"));
    if (!f) return false;
    // The size measured now is what goes out. Its size could not be
    // announced nor counted past 2 GiB: refused, not garbled. A folder opens
    // on some systems but cannot be read: refused too.
    const int64_t size = measure(name);
    if (size < 0 || size > kMaxTransfer) return false;
    return start(c, name, std::move(f), static_cast<int32_t>(size), send_main);
}

bool file_receive(Connection& c, const char* name, int32_t size) {
    if (!may_start(c)) return false;
    File f(std::fopen(name, "wb"));
    if (!f) return false;
    return start(c, name, std::move(f), size, receive_main);
}

double file_wait(Connection& c) {
    // Other kinds carry no transfer; a connection torn down since (kind 0)
    // is judged by how its last transfer ended.
    const uint8_t kind = c.kind.load();
    if (kind != kPlain && kind != kNotConnected) return 1.0;
    // The transfer thread always ends: at the end of the file, when the peer
    // is gone, or when the connection is torn down.
    while (c.file_busy.load() != 0) std::this_thread::sleep_for(std::chrono::milliseconds(kWaitPollMs));
    const int32_t total = c.file_total.load();
    const bool complete =
        c.file_ok.load() != 0 && total != 0 && static_cast<int64_t>(c.file_done.load()) == static_cast<int64_t>(total);
    return complete ? 1.0 : 0.0;
}

double file_byte(Connection& c) { return c.file_done.load(); }

double file_percentage(Connection& c) {
    const int32_t total = c.file_total.load();
    if (total == 0) return 0.0;
    return static_cast<double>(static_cast<int64_t>(c.file_done.load()) * 100 / total);
}

}  // namespace kiv
