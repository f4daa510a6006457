// External sort of text lines through the engine alone (create_core, add, start_read
// without keep, then the merge on a merging thread whose chunks this thread writes, as
// write_to does), against GNU sort (LC_ALL=C sort -S <budget> --parallel=2) on the
// same file. Two datasets:
//   lines: random words, 1 to 13 per line (as the Python benchmark makes them);
//   logs:  web-log lines that begin with an ISO timestamp, then an address, a method, a path
//          and a status, so that every key shares a long prefix.
// Each line is added as add_encoded(line, line) would add it: the key is the line's bytes key
// (newline included, so that the order is C-locale sort's), the payload the line itself. The
// engine writes the payloads to a file, which must equal GNU sort's output byte for byte.
// With store-once records the key holds the payload, so each line is stored once.
//
//   engine_bench [MiB per dataset = 256] [max_bytes MiB = 32] [repetitions = 3] [threads = 2]
//                [lines|logs|both = both]
//
// Every contender runs in a child process of its own (peak RSS and CPU time are its own), the
// contenders alternate, and the medians are reported. Target: engine at most 0.5x GNU sort's
// wall time on both datasets.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "key/key_encoding.h"
#include "run/file_ops.h"
#include "sorter/merge_thread.h"
#include "sorter/sorter_core.h"

namespace {

using namespace tessarune;

constexpr uint64_t kMaxOpen = 64;

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double cpu_seconds_of(const struct rusage& usage) {
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

std::string load_average() {
    FILE* file = std::fopen("/proc/loadavg", "r");
    if (file == nullptr) return "?";
    char text[128] = {};
    const size_t n = std::fread(text, 1, sizeof text - 1, file);
    std::fclose(file);
    std::string load(text, n);
    if (!load.empty() && load.back() == '\n') load.pop_back();
    return load;
}

// --- datasets --------------------------------------------------------------------------

bool write_lines(const std::string& path, uint64_t size, bool logs) {
    FILE* file = std::fopen(path.c_str(), "w");
    if (file == nullptr) return false;
    std::mt19937_64 rng(logs ? 77 : 1234);
    std::vector<std::string> words;
    for (int i = 0; i < 30000; ++i) {
        std::string w(2 + rng() % 9, 'a');
        for (char& c : w) c = static_cast<char>('a' + rng() % 26);
        words.push_back(w);
    }
    for (int i = 0; i < 1000; ++i) words.push_back(std::to_string(i));
    static const char* const kMethods[] = {"GET", "GET", "GET", "GET", "POST", "PUT", "DELETE", "HEAD"};
    static const char* const kPaths[] = {"/api/v1/items/", "/api/v1/users/", "/static/img/", "/index.html?id=",
                                         "/search?q=", "/cart/add/", "/api/v2/orders/", "/login?next="};
    static const int kStatus[] = {200, 200, 200, 200, 201, 204, 301, 304, 400, 404, 404, 500};
    std::string line;
    uint64_t written = 0;
    while (written < size) {
        line.clear();
        if (logs) {
            // A week of November 2026 in random order, millisecond resolution.
            const uint64_t ms = rng() % (7ull * 86400 * 1000);
            const uint64_t s = ms / 1000;
            char head[96];
            std::snprintf(head, sizeof head, "2026-11-%02" PRIu64 "T%02" PRIu64 ":%02" PRIu64 ":%02" PRIu64
                          ".%03" PRIu64 "Z 10.%u.%u.%u %s ",
                          1 + s / 86400, s / 3600 % 24, s / 60 % 60, s % 60, ms % 1000,
                          static_cast<unsigned>(rng() % 4), static_cast<unsigned>(rng() % 256),
                          static_cast<unsigned>(rng() % 256), kMethods[rng() % 8]);
            line += head;
            line += kPaths[rng() % 8];
            line += words[rng() % words.size()];
            line += ' ';
            line += std::to_string(kStatus[rng() % 12]);
            line += ' ';
            line += std::to_string(rng() % 50000);
        } else {
            const size_t n = 1 + rng() % 13;
            for (size_t i = 0; i < n; ++i) {
                if (i != 0) line += ' ';
                line += words[rng() % words.size()];
            }
        }
        line += '\n';
        if (std::fwrite(line.data(), 1, line.size(), file) != line.size()) {
            std::fclose(file);
            return false;
        }
        written += line.size();
    }
    return std::fclose(file) == 0;
}

// --- contenders --------------------------------------------------------------------------

struct Phases {
    double adding = 0, starting = 0, merging = 0;
    bool ok = false;
};

struct Outcome {
    double wall = 0;
    double cpu = 0;
    long peak_rss_kib = 0;
    Phases phases;
    bool ok = false;
};

// Reads the file in 1 MiB pieces and hands each line (newline included) to add.
template <typename Add>
bool for_each_line(const std::string& path, Add add) {
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) return false;
    std::vector<char> buffer(1 << 20);
    size_t held = 0;
    for (;;) {
        const ssize_t n = ::read(fd, buffer.data() + held, buffer.size() - held);
        if (n < 0) {
            ::close(fd);
            return false;
        }
        if (n == 0) break;
        held += static_cast<size_t>(n);
        size_t start = 0;
        for (;;) {
            const void* nl = std::memchr(buffer.data() + start, '\n', held - start);
            if (nl == nullptr) break;
            const size_t end = static_cast<size_t>(static_cast<const char*>(nl) - buffer.data()) + 1;
            if (!add(Bytes(reinterpret_cast<const uint8_t*>(buffer.data()) + start, end - start))) {
                ::close(fd);
                return false;
            }
            start = end;
        }
        std::memmove(buffer.data(), buffer.data() + start, held - start);
        held -= start;
        if (held == buffer.size()) buffer.resize(buffer.size() * 2);
    }
    ::close(fd);
    return held == 0;
}

Phases engine_sort(const std::string& input, const std::string& output, const std::string& base,
                   uint64_t max_bytes, uint64_t threads) {
    const auto start = std::chrono::steady_clock::now();
    auto made = create_core(base, max_bytes, kMaxOpen, threads);
    if (!made) return {};
    SorterCore& core = *made.value();
    SilentPoll poll;
    ByteBuffer key;
    const bool added = for_each_line(input, [&](Bytes line) {
        // As add_encoded(line, line) does: a line without zero bytes goes straight into the
        // half as its own bytes key, stored once; the usual way when the half is full.
        if (std::memchr(line.data(), 0, line.size()) == nullptr) {
            core.lock();
            EngineResult<bool> fast = core.add([&](tessarune::Filling& f) { return f.try_add_bytes(line); });
            core.unlock();
            if (!fast) return false;
            if (*fast) return true;
        }
        key.clear();
        append_escaped(TAG_BYTES, line, key);
        core.lock();
        EngineStatus status = core.add([&](tessarune::Filling& f) { return f.add(key.span(), line, poll); });
        core.unlock();
        return status.ok();
    });
    if (!added) return {};
    Phases phases;
    phases.adding = seconds_since(start);
    StatusByte status{SorterStatus::Open};
    core.lock();
    auto started = core.start_read(status, false, poll);
    core.unlock();
    phases.starting = seconds_since(start) - phases.adding;
    if (!started) return {};
    // As write_to does: a merging thread packs the payloads into chunks, this thread writes
    // them out.
    const int out = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0) return {};
    auto channels = std::make_shared<ChunkChannels>();
    std::thread merging(run_merge_thread, std::move(started).value(), channels, std::nullopt, false);
    bool written = true;
    for (;;) {
        ChunkMessage message;
        if (channels->chunks.receive(message) == Received::Closed) break;
        const ByteBuffer* chunk = std::get_if<ByteBuffer>(&message);
        if (chunk == nullptr) {
            written = false;
            break;
        }
        for (size_t done = 0; done < chunk->size();) {
            const ssize_t n = ::write(out, chunk->data() + done, chunk->size() - done);
            if (n <= 0) {
                written = false;
                break;
            }
            done += static_cast<size_t>(n);
        }
        if (!written) break;
        channels->give_back(std::move(std::get<ByteBuffer>(message)));
    }
    channels->close_receiving();
    merging.join();
    if (::close(out) != 0 || !written || channels->chunks.internal_error() != nullptr) return {};
    phases.merging = seconds_since(start) - phases.adding - phases.starting;
    phases.ok = true;
    return phases;
}

Outcome run_engine(const std::string& input, const std::string& output, const std::string& base,
                   uint64_t max_bytes, uint64_t threads) {
    int fds[2];
    if (::pipe(fds) != 0) return {};
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        const Phases phases = engine_sort(input, output, base, max_bytes, threads);
        if (::write(fds[1], &phases, sizeof phases) != static_cast<ssize_t>(sizeof phases)) ::_exit(2);
        ::_exit(0);
    }
    ::close(fds[1]);
    Outcome outcome;
    if (::read(fds[0], &outcome.phases, sizeof outcome.phases) != static_cast<ssize_t>(sizeof outcome.phases)) {
        outcome.phases.ok = false;
    }
    ::close(fds[0]);
    int status = 0;
    struct rusage usage {};
    ::wait4(pid, &status, 0, &usage);
    outcome.wall = seconds_since(start);
    outcome.cpu = cpu_seconds_of(usage);
    outcome.peak_rss_kib = usage.ru_maxrss;
    outcome.ok = outcome.phases.ok && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return outcome;
}

Outcome run_gnu_sort(const std::string& input, const std::string& output, const std::string& tmp,
                     uint64_t max_bytes) {
    const std::string budget = std::to_string(max_bytes >> 20) + "M";
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setenv("LC_ALL", "C", 1);
        ::execlp("sort", "sort", "-S", budget.c_str(), "--parallel=2", "-T", tmp.c_str(), "-o",
                 output.c_str(), input.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    struct rusage usage {};
    ::wait4(pid, &status, 0, &usage);
    Outcome outcome;
    outcome.wall = seconds_since(start);
    outcome.cpu = cpu_seconds_of(usage);
    outcome.peak_rss_kib = usage.ru_maxrss;
    outcome.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return outcome;
}

bool same_files(const std::string& a, const std::string& b) {
    FILE* fa = std::fopen(a.c_str(), "r");
    FILE* fb = std::fopen(b.c_str(), "r");
    bool same = fa != nullptr && fb != nullptr;
    std::vector<char> x(1 << 20), y(1 << 20);
    while (same) {
        const size_t n = std::fread(x.data(), 1, x.size(), fa);
        const size_t m = std::fread(y.data(), 1, y.size(), fb);
        if (n != m || std::memcmp(x.data(), y.data(), n) != 0) same = false;
        if (n == 0) break;
    }
    if (fa != nullptr) std::fclose(fa);
    if (fb != nullptr) std::fclose(fb);
    return same;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n == 0 ? 0 : n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

struct Series {
    std::vector<double> wall, cpu, adding, starting, merging;
    long peak_rss_kib = 0;
    bool ok = true;
    void add(const Outcome& o) {
        wall.push_back(o.wall);
        cpu.push_back(o.cpu);
        adding.push_back(o.phases.adding);
        starting.push_back(o.phases.starting);
        merging.push_back(o.phases.merging);
        peak_rss_kib = std::max(peak_rss_kib, o.peak_rss_kib);
        ok = ok && o.ok;
    }
};

void print_series(const char* name, const Series& s) {
    std::printf("  %-26s wall %6.2f s (%.2f-%.2f)  cpu %6.2f s  peak RSS %6.1f MiB%s\n", name,
                median(s.wall), *std::min_element(s.wall.begin(), s.wall.end()),
                *std::max_element(s.wall.begin(), s.wall.end()), median(s.cpu), s.peak_rss_kib / 1024.0,
                s.ok ? "" : "  FAILED");
}

}  // namespace

int main(int argc, char** argv) {
    const uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 256;
    const uint64_t max_bytes = (argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 32) << 20;
    const int repetitions = argc > 3 ? std::atoi(argv[3]) : 3;
    const uint64_t threads = argc > 4 ? std::strtoull(argv[4], nullptr, 10) : 2;
    const std::string only = argc > 5 ? argv[5] : "both";
    if (only.rfind("file=", 0) == 0) {
        // One run of the engine alone on a given file, for comparing two builds in turn. A file
        // that does not exist yet is made first: log lines if its name says "logs".
        const std::string input = only.substr(5);
        if (::access(input.c_str(), F_OK) != 0 &&
            !write_lines(input, mib << 20, input.find("logs") != std::string::npos)) {
            std::perror("writing the dataset");
            return 1;
        }
        const std::string output = input + ".sorted";
        const std::string dir = input.substr(0, input.rfind('/') + 1);
        const Outcome o = run_engine(input, output, dir.empty() ? "." : dir, max_bytes, threads);
        std::remove(output.c_str());
        std::printf("wall %.3f cpu %.3f adding %.3f merging %.3f\n", o.wall, o.cpu, o.phases.adding,
                    o.phases.merging);
        return o.ok ? 0 : 1;
    }
    char pattern[] = "/tmp/engine-bench-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string base = pattern;
    std::printf("%" PRIu64 " MiB per dataset; max_bytes %" PRIu64 " MiB, threads %" PRIu64
                ", max_open %" PRIu64 "; median of %d, contenders alternating\n",
                mib, max_bytes >> 20, threads, kMaxOpen, repetitions);
    bool all_ok = true;
    for (const bool logs : {false, true}) {
        const char* name = logs ? "logs" : "lines";
        if (only != "both" && only != name) continue;
        const std::string input = base + "/" + name + ".txt";
        if (!write_lines(input, mib << 20, logs)) {
            std::perror("writing the dataset");
            return 1;
        }
        const std::string ours = base + "/engine.out";
        const std::string theirs = base + "/gnu.out";
        Series engine, gnu;
        bool identical = true;
        for (int r = 0; r < repetitions; ++r) {
            engine.add(run_engine(input, ours, base, max_bytes, threads));
            gnu.add(run_gnu_sort(input, theirs, base, max_bytes));
            identical = identical && same_files(ours, theirs);
        }
        std::printf("%s (load %s)\n", name, load_average().c_str());
        print_series("engine", engine);
        std::printf("    adding %.2f s, start_read %.2f s, merging %.2f s\n", median(engine.adding),
                    median(engine.starting), median(engine.merging));
        print_series("GNU sort --parallel=2", gnu);
        const double wall_ratio = median(engine.wall) / median(gnu.wall);
        std::printf("  engine / GNU sort: wall %.2fx, cpu %.2fx (target wall <= 0.5x: %s); outputs %s\n",
                    wall_ratio, median(engine.cpu) / median(gnu.cpu), wall_ratio <= 0.5 ? "met" : "NOT MET",
                    identical ? "identical" : "DIFFER");
        std::fflush(stdout);
        all_ok = all_ok && engine.ok && gnu.ok && identical;
        std::remove(input.c_str());
        std::remove(ours.c_str());
        std::remove(theirs.c_str());
    }
    if (auto dir = FileOps::system()->open_dir(base)) FileOps::system()->remove_dir(std::move(dir).value());
    return all_ok ? 0 : 1;
}
