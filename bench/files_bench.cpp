// File transfer benchmark: kiv throughput beside a bare 64 KiB socket copy, idle CPU of a waiting receiver, peak memory.
//
// Everything runs over loopback in this one process; a watchdog ends the run
// if any phase overruns. Prints numbers, never pass/fail.
#include "bench.h"

namespace {

using bench::Clock;
using bench::since;

constexpr size_t kMB = 1000 * 1000;

double status_mib(const char* key) { return bench::status_kib(getpid(), key) / 1024.0; }

void reset_peak_rss() { std::ofstream("/proc/self/clear_refs") << "5"; }

// Writes n pseudo-random bytes, a MiB at a time.
void make_file(const std::string& path, size_t n) {
    std::ofstream f(path, std::ios::binary);
    std::string block(1 << 20, 0);
    uint32_t x = 2463534242u;
    for (size_t done = 0; done < n; done += block.size()) {
        for (char& ch : block) x ^= x << 13, x ^= x >> 17, x ^= x << 5, ch = static_cast<char>(x);
        f.write(block.data(), static_cast<std::streamsize>(std::min(block.size(), n - done)));
    }
}

bool same_file(const std::string& a, const std::string& b) {
    std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
    std::string x(1 << 20, 0), y(1 << 20, 0);
    for (int i = 0; i < 100000 && fa && fb; ++i) {
        fa.read(&x[0], static_cast<std::streamsize>(x.size())), fb.read(&y[0], static_cast<std::streamsize>(y.size()));
        if (fa.gcount() != fb.gcount() || x.compare(0, fa.gcount(), y, 0, fa.gcount()) != 0) return false;
    }
    return !fa && !fb;
}

// A transfer's wall and process CPU seconds; -1 when it did not complete.
struct Run {
    double s = -1, cpu = 0;
};

// One kiv-to-kiv transfer of the file.
Run kiv_transfer(const std::string& from, const std::string& to, size_t n) {
    bench::KivPair p;
    const double cpu0 = bench::process_cpu();
    const auto t0 = Clock::now();
    kiv_file_receive(p.b, to.c_str(), static_cast<double>(n));
    kiv_file_send(p.a, from.c_str());
    const bool ok = kiv_file_wait(p.a) == 1 && kiv_file_wait(p.b) == 1;
    return {ok ? since(t0) : -1, bench::process_cpu() - cpu0};
}

// The same copy over bare blocking sockets: file reads, socket writes and
// reads, and file writes of 64 KiB each.
Run bare_transfer(const std::string& from, const std::string& to, size_t n) {
    constexpr size_t block = 64 * 1024;
    test::Listener l;
    const int out = test::connect_to(l.port);
    const int in = l.accept_one();
    const double cpu0 = bench::process_cpu();
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
    const double s = since(t0);
    sender.join();
    close(out);
    close(in);
    return {got == n ? s : -1, bench::process_cpu() - cpu0};
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
    const double cpu0 = bench::process_cpu();
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
        while (kiv_file_byte(h) < kBytes && since(t0) < 30) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    trickle.join();
    const double wall = since(t0);
    const double cpu = bench::process_cpu() - cpu0;
    std::printf("%-44s %8.2f %% of one core  (%.3f s CPU in %.1f s, %g of %d bytes)\n",
                host_in_wait ? "idle CPU, receiver + host in kiv_file_wait" : "idle CPU, receiver, host polling 10/s",
                100.0 * cpu / wall, cpu, wall, kiv_file_byte(h), kBytes);
    kiv_disconnect(h);
    close(peer);
}

}  // namespace

int main() {
    bench::start(600);
    char tmpl[] = "/tmp/kiv-files-bench-XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    const std::string dir = tmpl;
    const std::string src = dir + "/src", dst = dir + "/dst";

    // Peak memory: the same transfer at two sizes; then kiv and the bare copy
    // take turns on the larger file, each going first in turn.
    const size_t sizes[2] = {20 * kMB, 200 * kMB};
    for (size_t n : sizes) {
        make_file(src, n);
        reset_peak_rss();
        const double before = status_mib("VmRSS:");
        const double s = kiv_transfer(src, dst, n).s;
        const double peak = status_mib("VmHWM:");
        std::printf("peak RSS during a %3zu MB transfer: %5.1f MiB (%+.1f MiB over the start)%s\n", n / kMB, peak,
                    peak - before, s > 0 && same_file(src, dst) ? "" : ", the copy DIFFERS");
        std::remove(dst.c_str());
    }
    const size_t n = sizes[1];
    bench::Range kiv, bare, ratio, cpu_ratio;
    for (int round = 0; round < 6; ++round) {
        Run k, b;
        for (int i = 0; i < 2; ++i) {
            ((i + round) % 2 ? b : k) = ((i + round) % 2 ? bare_transfer : kiv_transfer)(src, dst, n);
            std::remove(dst.c_str());
        }
        const double mb = static_cast<double>(n) / kMB;
        std::printf("%.0f MB file to file, round %d: kiv %.1f MB/s (%.2f ms CPU per MB), bare 64 KiB copy %.1f MB/s "
                    "(%.2f ms)\n",
                    mb, round + 1, k.s > 0 ? mb / k.s : 0, k.cpu / mb * 1e3, b.s > 0 ? mb / b.s : 0, b.cpu / mb * 1e3);
        kiv.add(mb / k.s), bare.add(mb / b.s), ratio.add(b.s / k.s), cpu_ratio.add(k.cpu / b.cpu);
    }
    std::printf("FILES kiv %s MB/s, bare 64 KiB copy %s MB/s, kiv / bare throughput %s; CPU kiv / bare %s\n",
                kiv.str("%.0f").c_str(), bare.str("%.0f").c_str(), ratio.str("%.2f").c_str(),
                cpu_ratio.str("%.2f").c_str());
    std::remove(src.c_str());

    idle_cpu(dir, false);
    idle_cpu(dir, true);
    std::remove((dir + "/slow").c_str());
    rmdir(dir.c_str());
    return 0;
}
