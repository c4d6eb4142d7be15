// `kiv send-file` and `kiv recv-file`: the size as a token, then the file's bytes, with progress.
//
// The receiver answers "received N" once the file is complete and closed, so
// that the sender can tell that the whole file arrived, not only that it
// left.
#include "transfer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "common.h"
#include "kiv.h"
#include "progress.h"

namespace kivcli {

namespace {

constexpr int kPollMs = 20;
// A transfer counts at most this many bytes (a signed 32-bit number).
constexpr double kMaxFileBytes = 2147483647.0;
// How long the sender waits for the receiver's answer after the last byte.
constexpr double kAnswerSeconds = 30;

std::string whole(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.0f", v);
    return buf;
}

// Follows a running transfer on h until total bytes are counted, the
// connection is lost, or nothing moves for stall_seconds. Returns the last
// byte count (it stays readable after the peer left).
double follow(double h, double total, double stall_seconds, Progress& bar, bool* stalled) {
    double bytes = 0;
    double moved_at = seconds_now();
    *stalled = false;
    while (!signalled()) {
        const double now_bytes = kiv_file_byte(h);
        if (now_bytes != bytes) {
            bytes = now_bytes;
            moved_at = seconds_now();
        }
        bar.update(bytes);
        if (bytes >= total || kiv_valid(h) != 1) break;
        if (stall_seconds > 0 && seconds_now() - moved_at > stall_seconds) {
            *stalled = true;
            break;
        }
        nap(kPollMs);
    }
    return bytes;
}

// True when path can be written: opens it for writing, and removes it again
// when this made it. Asked before waiting for a sender, so that a wrong path
// is reported at once rather than after the sender came.
bool writable(const std::string& path) {
    struct stat st {};
    const bool existed = stat(path.c_str(), &st) == 0;
    if (existed && S_ISDIR(st.st_mode)) return false;
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    close(fd);
    if (!existed) unlink(path.c_str());
    return true;
}

}  // namespace

int run_send_file(const TransferOptions& o) {
    catch_signals();
    struct stat st {};
    if (stat(o.file.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || access(o.file.c_str(), R_OK) != 0) {
        return complain("cannot read " + o.file), 1;
    }
    const double size = kiv_filesize(o.file.c_str());
    if (size <= 0) return complain(o.file + " is empty: there is nothing to send"), 1;
    if (size > kMaxFileBytes) return complain(o.file + " is too large (at most 2147483647 bytes)"), 1;

    const std::string where = o.host + ":" + std::to_string(o.port);
    const double h = kiv_connect(o.host.c_str(), o.port, 1);
    if (h == 0) return complain(library_reason("cannot connect to " + where)), 1;
    say("connected to " + where);
    if (kiv_token_send(h, whole(size).c_str(), "", 0) != 1 || kiv_file_send(h, o.file.c_str()) != 1) {
        const std::string why = library_reason("cannot start sending " + o.file);
        kiv_disconnect(h);
        return complain(why), 1;
    }

    Progress bar("sending", "sent", o.file, size, stderr);
    bool stalled = false;
    follow(h, size, o.stall_seconds, bar, &stalled);
    // The transfer thread is closing the file, or ending because the peer
    // left: either way the wait is short.
    const bool sent = !stalled && !signalled() && kiv_file_wait(h) == 1;
    const double bytes = kiv_file_byte(h);

    // The receiver's answer says the whole file arrived and was stored.
    bool confirmed = false;
    const double until = seconds_now() + kAnswerSeconds;
    while (sent && !signalled() && seconds_now() < until) {
        if (kiv_token_receive(h) == 1) {
            confirmed = std::string(kiv_token_value(h)) == "received " + whole(size);
            break;
        }
        if (kiv_valid(h) != 1) break;
        nap(kPollMs);
    }
    kiv_disconnect(h);
    bar.finish(sent, bytes);
    if (stalled) complain("the transfer stalled: nothing moved for " + whole(o.stall_seconds) + " s");
    if (!sent) return 1;
    if (!confirmed) {
        complain("the receiver did not confirm the file");
        return 1;
    }
    say("delivered " + whole(size) + " bytes");
    return 0;
}

int run_recv_file(const TransferOptions& o) {
    catch_signals();
    if (!writable(o.file)) return complain("cannot write " + o.file), 1;
    int port = o.port;
    const double server = listen_on(&port, 1, 0);
    if (server == 0) return complain(library_reason("cannot listen on port " + std::to_string(o.port))), 1;
    say("listening on " + std::to_string(port));

    // A client, then its first token: the file's size.
    const double give_up = o.timeout_seconds > 0 ? seconds_now() + o.timeout_seconds : 0;
    const auto timed_out = [&] { return give_up > 0 && seconds_now() > give_up; };
    double h = 0;
    while (!signalled() && !timed_out()) {
        const double c = kiv_accept(server);
        if (c != 0 && kiv_valid(c) == 1) {
            h = c;
            break;
        }
        nap(kPollMs);
    }
    if (h == 0) {
        kiv_disconnect(server);
        return complain("no sender came"), 1;
    }
    say("client connected from " + std::string(kiv_ipaddress(h, 0)));
    // One transfer: nobody else may come in.
    kiv_disconnect(server);

    std::string first;
    bool got = false;
    while (!signalled() && !timed_out() && kiv_valid(h) == 1) {
        if (kiv_token_receive(h) == 1) {
            first = kiv_token_value(h);
            got = true;
            break;
        }
        nap(kPollMs);
    }
    long long size = 0;
    if (!got || !parse_integer(first, &size) || size <= 0 || size > static_cast<long long>(kMaxFileBytes)) {
        kiv_disconnect(h);
        return complain(got ? "expected the file size as the first line, got " + quoted(first)
                            : "the sender sent no file size"),
               1;
    }
    if (kiv_file_receive(h, o.file.c_str(), static_cast<double>(size)) != 1) {
        const std::string why = library_reason("cannot receive into " + o.file);
        kiv_disconnect(h);
        return complain(why), 1;
    }
    say("receiving " + whole(static_cast<double>(size)) + " bytes into " + o.file);

    const double total = static_cast<double>(size);
    Progress bar("receiving", "received", o.file, total, stderr);
    bool stalled = false;
    follow(h, total, o.stall_seconds, bar, &stalled);
    // Also when the sender has left already: the outcome stays readable.
    const bool complete = !stalled && !signalled() && kiv_file_wait(h) == 1 && kiv_file_byte(h) == total;
    const double bytes = kiv_file_byte(h);
    if (complete) kiv_token_send(h, ("received " + whole(total)).c_str(), "", 0);
    kiv_disconnect(h);  // lingers briefly so that the answer leaves
    bar.finish(complete, bytes);
    if (stalled) complain("the transfer stalled: nothing moved for " + whole(o.stall_seconds) + " s");
    return complete ? 0 : 1;
}

}  // namespace kivcli
