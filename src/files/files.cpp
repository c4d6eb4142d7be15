// File transfer: the sender and receiver threads, the put-back of bytes already read, progress.
//
// The wire carries the file's bytes and nothing else; the size travels
// separately (as a token the scripts exchange before).
#include "files/files.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <new>

#include "net/threads.h"

namespace kiv::files {

namespace {

// The file goes out in runs of 256 blocks of 255 bytes, one write per run
// rather than per block, so that a large file does not cost a system call
// every 255 bytes; the bytes on the wire are the same. A receive reads runs
// of the same size, so progress moves by at most a run either way.
constexpr size_t kBlock = 255;
constexpr size_t kSendRun = 256 * kBlock;
constexpr size_t kReceiveChunk = kSendRun;
// A transfer carries a signed 32-bit count of bytes.
constexpr int64_t kMaxTransfer = 0x7FFFFFFF;

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

// Waits until the socket is ready for `want` or the transfer is stopped;
// false when it is stopped or the wait failed.
bool wait_socket(Transfer& t, net::Link& link, uint8_t want) {
    t.wake.seen();
    if (t.stop.load()) return false;
    return link.wait_io(want, t.wake) && !t.stop.load();
}

// Why a file could not be opened, for the caller's error line.
const char* open_failure(const char* what) {
    thread_local char text[160];
    std::snprintf(text, sizeof text, "%s: %s", what, std::strerror(errno));
    return text;
}

// Sends exactly total bytes of the file.
bool send_file(Transfer& t, net::Link& link, std::FILE* f) {
    const int64_t total = t.total.load();
    std::unique_ptr<char[]> run(new (std::nothrow) char[kSendRun]);
    if (!run) return false;
    int64_t done = 0;
    while (done < total) {
        size_t want = kSendRun;
        if (static_cast<int64_t>(want) > total - done) want = static_cast<size_t>(total - done);
        const size_t n = std::fread(run.get(), 1, want, f);
        // A file that shrank or cannot be read any more ends the transfer short.
        if (n == 0) return false;
        // The last write lets the system send at once; the others let it
        // fill whole segments.
        const bool more = done + static_cast<int64_t>(n) < total;
        size_t off = 0;
        while (off < n) {
            if (t.stop.load()) return false;
            const platform::Io r = link.send_behind(run.get() + off, n - off, more);
            if (r.status == platform::Status::ok && r.bytes > 0) {
                off += r.bytes;
                done += static_cast<int64_t>(r.bytes);
                t.done.store(static_cast<uint32_t>(done));
                continue;
            }
            if (r.status == platform::Status::error || r.status == platform::Status::closed) return false;
            if (!wait_socket(t, link, platform::kWantWrite)) return false;
        }
    }
    return true;
}

// Writes taken bytes to the file up to the transfer's size; once one did
// not fit, it and everything after it are kept in `rest`, in order.
class PutBack {
public:
    PutBack(Transfer& t, std::FILE* f, int64_t room) : t_(t), f_(f), room_(room) {}

    void take(const char* p, uint32_t n) {
        uint32_t fit = 0;
        if (rest_.empty() && left() > 0) fit = static_cast<int64_t>(n) < left() ? n : static_cast<uint32_t>(left());
        if (fit > 0) {
            if (std::fwrite(p, 1, fit, f_) != fit) failed_ = true;
            done_ += fit;
            t_.done.store(static_cast<uint32_t>(done_));
        }
        if (fit < n) rest_.append(p + fit, n - fit);
    }

    int64_t left() const { return failed_ ? 0 : room_ - done_; }
    int64_t done() const { return done_; }
    bool failed() const { return failed_; }
    ByteString& rest() { return rest_; }

private:
    Transfer& t_;
    std::FILE* f_;
    const int64_t room_;
    int64_t done_ = 0;
    bool failed_ = false;
    ByteString rest_;
};

}  // namespace

int64_t put_back(Transfer& t, net::Link& link, tokens::Box& box, std::FILE* f, int64_t total) {
    PutBack out(t, f, total);
    while (out.left() > 0 && out.rest().empty()) {
        const tokens::Record* r = box.queue.front();
        if (!r) break;
        out.take(r->text.data(), r->text.length());
        out.take(r->delimiter.data(), r->delimiter.length());
        box.queue.pop();
    }
    ByteString& rest = out.rest();
    if (!rest.empty()) {
        while (const tokens::Record* r = box.queue.front()) {
            rest.append(r->text);
            rest.append(r->delimiter);
            box.queue.pop();
        }
        link.prepend(rest.data(), rest.length());
    } else if (out.left() > 0 && link.held() > 0) {
        const uint32_t fit =
            static_cast<int64_t>(link.held()) < out.left() ? link.held() : static_cast<uint32_t>(out.left());
        out.take(link.held_data(), fit);
        link.consume(fit);
    }
    return out.failed() ? -1 : out.done();
}

namespace {

// Receives exactly total bytes into the file, never a byte more: what
// follows the file stays in the socket for the link.
bool receive_file(Transfer& t, net::Link& link, std::FILE* f, int64_t done) {
    const int64_t total = t.total.load();
    if (total <= 0) return total == 0;
    std::unique_ptr<char[]> chunk(new (std::nothrow) char[kReceiveChunk]);
    if (!chunk) return false;
    while (done < total) {
        if (t.stop.load()) return false;
        size_t want = kReceiveChunk;
        if (static_cast<int64_t>(want) > total - done) want = static_cast<size_t>(total - done);
        const platform::Io r = link.read_raw(chunk.get(), want);
        if (r.status == platform::Status::ok && r.bytes > 0) {
            if (std::fwrite(chunk.get(), 1, r.bytes, f) != r.bytes) return false;
            done += static_cast<int64_t>(r.bytes);
            t.done.store(static_cast<uint32_t>(done));
            continue;
        }
        // The peer left (in order or not) before the whole file came.
        if (r.status != platform::Status::would_block) return false;
        if (!wait_socket(t, link, platform::kWantRead)) return false;
    }
    return true;
}

// Ends a transfer: closes the file, publishes the outcome, gives the socket
// back to the link and wakes whoever waits.
void finish(Transfer& t, net::Link& link, net::Mutex& mutex, std::FILE* f, bool ran) {
    const bool closed = std::fclose(f) == 0;
    {
        net::Lock lk(mutex);
        link.pause_reading(false);
    }
    link.wake();
    {
        std::lock_guard<std::mutex> lk(t.m);
        t.ok.store(ran && closed ? 1 : 0);
        t.busy.store(0);
    }
    t.ended.notify_all();
}

// With t.owner held: starts the thread that runs body on f.
bool start(Transfer& t, net::Link& link, net::Mutex& mutex, std::FILE* f, int32_t total,
           std::function<bool()> body) {
    // The previous transfer has lowered busy: it is ending, if not ended.
    if (t.thread.joinable()) t.thread.join();
    if (!t.wake.open()) {
        std::fclose(f);
        return false;
    }
    t.busy.store(1);
    t.ok.store(0);
    t.done.store(0);
    t.total.store(total);
    {
        net::Lock lk(mutex);
        link.pause_reading(true);
    }
    const bool started = net::start_thread(t.thread, [&t, &link, &mutex, f, body] {
        bool ran = false;
        try {
            ran = body();
        } catch (const std::bad_alloc&) {
        }
        finish(t, link, mutex, f, ran);
    });
    if (!started) {
        {
            net::Lock lk(mutex);
            link.pause_reading(false);
        }
        std::fclose(f);
        t.busy.store(0);
    }
    return started;
}

// With t.owner held: why no transfer may start now, or null.
const char* refusal(const Transfer& t) {
    if (t.stop.load()) return "the connection is closed";
    if (t.busy.load()) return "a transfer is already running on this connection";
    return nullptr;
}

}  // namespace

double file_size(const char* name, const char** why) {
    const int64_t size = measure(name);
    if (size >= 0) return static_cast<double>(size);
    *why = open_failure("cannot read");
    return 0.0;
}

bool start_send(Transfer& t, net::Link& link, net::Mutex& mutex, const char* name, const char** why) {
    std::lock_guard<std::mutex> own(t.owner);
    if ((*why = refusal(t))) return false;
    const int64_t size = measure(name);
    if (size < 0) {
        *why = open_failure("cannot read");
        return false;
    }
    // Its size could not be announced nor counted: refused, not garbled.
    if (size > kMaxTransfer) {
        *why = "larger than 2 GiB - 1 bytes, the most a transfer counts";
        return false;
    }
    std::FILE* f = std::fopen(name, "rb");
    if (!f) {
        *why = open_failure("cannot read");
        return false;
    }
    *why = "no thread could be started";
    return start(t, link, mutex, f, static_cast<int32_t>(size), [&t, &link, f] { return send_file(t, link, f); });
}

bool start_receive(Transfer& t, net::Link& link, net::Mutex& mutex, tokens::Box& box, const char* name,
                   int32_t size, const char** why) {
    std::lock_guard<std::mutex> own(t.owner);
    if ((*why = refusal(t))) return false;
    std::FILE* f = std::fopen(name, "wb");
    if (!f) {
        *why = open_failure("cannot create");
        return false;
    }
    *why = "no thread could be started";
    return start(t, link, mutex, f, size, [&t, &link, &mutex, &box, f] {
        int64_t done;
        {
            net::Lock lk(mutex);
            done = put_back(t, link, box, f, t.total.load());
        }
        return done >= 0 && receive_file(t, link, f, done);
    });
}

bool wait(Transfer& t) {
    std::unique_lock<std::mutex> lk(t.m);
    // The thread always ends: at the end of the file, when the peer is gone,
    // or when the connection is torn down.
    t.ended.wait(lk, [&t] { return t.busy.load() == 0; });
    const int32_t total = t.total.load();
    return t.ok.load() != 0 && total != 0 && static_cast<int64_t>(t.done.load()) == static_cast<int64_t>(total);
}

double byte_count(const Transfer& t) { return t.done.load(); }

double percentage(const Transfer& t) {
    const int32_t total = t.total.load();
    if (total == 0) return 0.0;
    return static_cast<double>(static_cast<int64_t>(t.done.load()) * 100 / total);
}

void stop(Transfer& t) {
    std::lock_guard<std::mutex> own(t.owner);
    t.stop.store(true);
    t.wake.signal();
    if (t.thread.joinable() && t.thread.get_id() != std::this_thread::get_id()) t.thread.join();
}

}  // namespace kiv::files
