// File transfer benchmark: kiv throughput against a bare-socket copy, idle CPU of a waiting receiver, peak memory.
//
// Everything runs over loopback in this one process; a watchdog ends the run
// if any phase overruns. Prints numbers, never pass/fail.
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "kiv.h"
#include "support.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kMB = 1000 * 1000;
constexpr int kWatchdogSeconds = 600;

double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

double cpu_seconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// A memory figure of /proc/self/status in MiB: VmHWM (peak resident since
// the last reset) or VmRSS (resident now).
double status_mib(const char* key) {
    std::ifstream in("/proc/self/status");
    std::string line;
    const size_t n = std::char_traits<char>::length(key);
    while (std::getline(in, line)) {
        if (line.compare(0, n, key) == 0) return std::atof(line.c_str() + n) / 1024.0;
    }
    return -1;
}

void reset_peak_rss() { std::ofstream("/proc/self/clear_refs") << "5"; }

// Writes n pseudo-random bytes without holding them in memory.
void make_file(const std::string& path, size_t n) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) {
        std::fprintf(stderr, "files_bench: cannot create %s\n", path.c_str());
        std::exit(1);
    }
    std::vector<char> block(1 << 20);
    uint32_t x = 2463534242u;
    for (size_t done = 0; done < n;) {
        for (char& ch : block) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            ch = static_cast<char>(x);
        }
        const size_t k = std::min(block.size(), n - done);
        std::fwrite(block.data(), 1, k, f);
        done += k;
    }
    std::fclose(f);
}

uint64_t file_hash(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return 0;
    uint64_t h = 1469598103934665603ull;
    std::vector<unsigned char> buf(1 << 20);
    size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), f)) > 0) {
        for (size_t i = 0; i < n; ++i) h = (h ^ buf[i]) * 1099511628211ull;
    }
    std::fclose(f);
    return h;
}

struct KivPair {
    double server = 0, a = 0, b = 0;
    KivPair() {
        server = kiv_listen(0, 1, 0);
        a = kiv_connect("127.0.0.1", test::port_of_handle(server), 1);
        b = kiv_accept(server);
        if (server <= 0 || a <= 0 || kiv_valid(b) != 1) {
            std::fprintf(stderr, "files_bench: no loopback connection\n");
            std::exit(1);
        }
    }
    ~KivPair() {
        kiv_disconnect(b);
        kiv_disconnect(a);
        kiv_disconnect(server);
    }
};

// One kiv-to-kiv transfer of the file; seconds, or -1 when it did not complete.
double kiv_transfer(const std::string& from, const std::string& to, size_t n) {
    KivPair p;
    const auto t0 = Clock::now();
    kiv_file_receive(p.b, to.c_str(), static_cast<double>(n));
    kiv_file_send(p.a, from.c_str());
    const bool ok = kiv_file_wait(p.a) == 1 && kiv_file_wait(p.b) == 1;
    const double s = seconds_since(t0);
    return ok ? s : -1;
}

// The same copy over bare blocking sockets: file reads, socket writes and
// reads, and file writes of `block` bytes each.
double bare_transfer(const std::string& from, const std::string& to, size_t n, size_t block) {
    test::Listener l;
    const int out = test::connect_to(l.port);
    const int in = l.accept_one();
    if (out < 0 || in < 0) return -1;
    const auto t0 = Clock::now();
    std::thread sender([&] {
        std::FILE* f = std::fopen(from.c_str(), "rb");
        std::vector<char> buf(block);
        size_t k;
        while ((k = std::fread(buf.data(), 1, block, f)) > 0) {
            for (size_t off = 0; off < k;) {
                const ssize_t r = send(out, buf.data() + off, k - off, MSG_NOSIGNAL);
                if (r <= 0) break;
                off += static_cast<size_t>(r);
            }
        }
        std::fclose(f);
    });
    std::FILE* f = std::fopen(to.c_str(), "wb");
    std::vector<char> buf(block);
    size_t got = 0;
    while (got < n) {
        const ssize_t r = recv(in, buf.data(), std::min(block, n - got), 0);
        if (r <= 0) break;
        std::fwrite(buf.data(), 1, static_cast<size_t>(r), f);
        got += static_cast<size_t>(r);
    }
    std::fclose(f);
    const double s = seconds_since(t0);
    sender.join();
    close(out);
    close(in);
    return got == n ? s : -1;
}

void report_throughput(const char* what, size_t n, double s) {
    if (s < 0) {
        std::printf("%-44s failed\n", what);
        return;
    }
    std::printf("%-44s %8.1f MB/s  (%.2f s)\n", what, n / kMB / s, s);
}

// Process CPU while a kiv receiver waits for a file whose bytes come one
// every 100 ms; the host either sleeps (polling progress) or sits in
// kiv_file_wait.
void idle_cpu(const std::string& dir, bool host_in_wait) {
    test::Listener l;
    const double h = kiv_connect("127.0.0.1", l.port, 1);
    const int peer = l.accept_one();
    constexpr int kBytes = 30;  // 3 s
    const std::string to = dir + "/slow";
    kiv_file_receive(h, to.c_str(), kBytes);
    const double cpu0 = cpu_seconds();
    const auto t0 = Clock::now();
    std::thread trickle([&] {
        for (int i = 0; i < kBytes; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            test::write_all(peer, "x");
        }
    });
    if (host_in_wait) {
        kiv_file_wait(h);
    } else {
        while (kiv_file_byte(h) < kBytes && seconds_since(t0) < 30) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    trickle.join();
    const double wall = seconds_since(t0);
    const double cpu = cpu_seconds() - cpu0;
    std::printf("%-44s %8.2f %% of one core  (%.3f s CPU in %.1f s, %g of %d bytes)\n",
                host_in_wait ? "idle CPU, receiver + host in kiv_file_wait" : "idle CPU, receiver, host polling 10/s",
                100.0 * cpu / wall, cpu, wall, kiv_file_byte(h), kBytes);
    kiv_disconnect(h);
    close(peer);
}

}  // namespace

int main() {
    std::thread([] {
        std::this_thread::sleep_for(std::chrono::seconds(kWatchdogSeconds));
        std::fprintf(stderr, "files_bench: over %d s, stopped\n", kWatchdogSeconds);
        std::_Exit(2);
    }).detach();

    char tmpl[] = "/tmp/kiv-files-bench-XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    const std::string dir = tmpl;
    const std::string src = dir + "/src", dst = dir + "/dst";

    // Peak memory: the same transfer at two sizes.
    double peak[2], growth[2];
    const size_t sizes[2] = {20 * kMB, 200 * kMB};
    double kiv_seconds = -1;
    for (int i = 0; i < 2; ++i) {
        make_file(src, sizes[i]);
        reset_peak_rss();
        const double before = status_mib("VmRSS:");
        const double s = kiv_transfer(src, dst, sizes[i]);
        peak[i] = status_mib("VmHWM:");
        growth[i] = peak[i] - before;
        if (file_hash(src) != file_hash(dst)) std::printf("kiv copy of %zu MB differs!\n", sizes[i] / kMB);
        if (i == 1) kiv_seconds = s;
        std::remove(dst.c_str());
    }
    const size_t n = sizes[1];
    std::printf("file transfer, %zu MB file to file over loopback\n", n / kMB);
    report_throughput("kiv_file_send -> kiv_file_receive", n, kiv_seconds);
    const double bare255 = bare_transfer(src, dst, n, 255);
    report_throughput("bare sockets, 255-byte reads and writes", n, bare255);
    std::remove(dst.c_str());
    const double bare64k = bare_transfer(src, dst, n, 64 * 1024);
    report_throughput("bare sockets, 64 KiB reads and writes", n, bare64k);
    std::remove(dst.c_str());
    if (kiv_seconds > 0 && bare255 > 0) std::printf("kiv / bare 255-byte copy: %.0f %%\n", 100.0 * bare255 / kiv_seconds);
    for (int i = 0; i < 2; ++i) {
        std::printf("peak RSS during a %3zu MB transfer: %5.1f MiB (%+.1f MiB over the start)\n", sizes[i] / kMB,
                    peak[i], growth[i]);
    }
    std::remove(src.c_str());

    idle_cpu(dir, false);
    idle_cpu(dir, true);
    std::remove((dir + "/slow").c_str());
    rmdir(dir.c_str());
    return 0;
}
