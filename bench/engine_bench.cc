// External sort through the engine alone (create_core, add_record, start_read without keep,
// merge_next), against GNU sort on the same records written as text lines.
//
// Records: 16-byte random keys, 64-byte payloads of text from a small vocabulary; 1 GiB of
// key and payload bytes by default (engine_bench [MiB] for another amount). max_bytes is
// 64 MiB; GNU sort gets the same memory (-S 64M) and two threads. Each contender runs in a
// child process of its own, so that its peak RSS (ru_maxrss) is its own; records are made
// on the fly, never held in memory. Time includes making the records (shown separately).
//
// Peak RSS target: max_bytes + 1 MiB write buffer + blocks in flight (275,279 bytes per slot)
// + max_open x 275,279 bytes of reader blocks + 16 MiB.
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
#include <string>
#include <vector>

#include "base/split_mix.h"
#include "run/file_ops.h"
#include "sorter/sorter_core.h"

namespace {

using namespace tessarune;

constexpr uint64_t kMaxBytes = 64ull << 20;
constexpr uint64_t kMaxOpen = 64;
constexpr size_t kKeyBytes = 16;
constexpr size_t kPayloadBytes = 64;

// The same records for every contender: a seeded generator, no storage.
class RecordSource {
public:
    explicit RecordSource(uint64_t seed) : random_(seed) {}

    void next(uint8_t* key, char* payload) {
        for (size_t i = 0; i < kKeyBytes; i += 8) {
            const uint64_t r = random();
            std::memcpy(key + i, &r, 8);
        }
        static const char* const kWords[32] = {
            "the",   "of",    "and",   "merge", "run",    "sorted", "record", "key",     "block",
            "half",  "spill", "order", "byte",  "stream", "thread", "pool",   "payload", "write",
            "read",  "table", "entry", "heap",  "buffer", "file",   "error",  "memory",  "disk",
            "value", "line",  "text",  "word",  "count"};
        // Five random bits choose a word: one draw serves twelve words.
        uint64_t bits = random();
        int left = 12;
        size_t used = 0;
        while (used < kPayloadBytes) {
            if (left == 0) {
                bits = random();
                left = 12;
            }
            const char* word = kWords[bits & 31];
            bits >>= 5;
            --left;
            const size_t n = std::min(std::strlen(word), kPayloadBytes - used);
            std::memcpy(payload + used, word, n);
            used += n;
            if (used < kPayloadBytes) payload[used++] = ' ';
        }
    }

private:
    uint64_t random() { return random_.next(); }
    SplitMix64 random_;
};

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

struct ChildReport {
    double seconds = 0;
    uint64_t records = 0;
    bool ok = false;
    double adding = 0, starting = 0, merging = 0;  // the engine's phases, in seconds
};

struct Outcome {
    ChildReport report;
    long peak_rss_kib = 0;
    double cpu_seconds = 0;  // user + system time of the child and what it waited for
};

double cpu_seconds_of(const struct rusage& usage) {
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Other work on the machine skews the figures; print the load beside them.
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

// Runs work in a child process; returns its report and its peak RSS.
template <typename Work>
Outcome in_child(Work work) {
    int fds[2];
    if (::pipe(fds) != 0) return {};
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        ChildReport report = work();
        if (::write(fds[1], &report, sizeof report) != static_cast<ssize_t>(sizeof report)) ::_exit(2);
        ::_exit(0);
    }
    ::close(fds[1]);
    Outcome outcome;
    if (::read(fds[0], &outcome.report, sizeof outcome.report) != static_cast<ssize_t>(sizeof outcome.report)) {
        outcome.report.ok = false;
    }
    ::close(fds[0]);
    int status = 0;
    struct rusage usage {};
    ::wait4(pid, &status, 0, &usage);
    outcome.peak_rss_kib = usage.ru_maxrss;
    outcome.cpu_seconds = cpu_seconds_of(usage);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) outcome.report.ok = false;
    return outcome;
}

ChildReport generate_only(uint64_t count) {
    RecordSource source(42);
    uint8_t key[kKeyBytes];
    char payload[kPayloadBytes];
    uint64_t sink = 0;
    const auto start = std::chrono::steady_clock::now();
    for (uint64_t i = 0; i < count; ++i) {
        source.next(key, payload);
        sink += key[0] + static_cast<uint8_t>(payload[0]);
    }
    return {seconds_since(start), count, sink != 0};
}

ChildReport engine_sort(const std::string& base, uint64_t count, uint64_t threads) {
    const auto start = std::chrono::steady_clock::now();
    auto made = create_core(base, kMaxBytes, kMaxOpen, threads);
    if (!made) {
        std::fprintf(stderr, "create_core: %s\n", made.error().text().c_str());
        return {};
    }
    SorterCore& core = *made.value();
    RecordSource source(42);
    uint8_t key[kKeyBytes];
    char payload[kPayloadBytes];
    SilentPoll poll;
    for (uint64_t i = 0; i < count; ++i) {
        source.next(key, payload);
        core.lock();
        CoreStatus added = core.add_record(Bytes(key, kKeyBytes),
                                           Bytes(reinterpret_cast<const uint8_t*>(payload), kPayloadBytes), poll);
        core.unlock();
        if (!added) {
            std::fprintf(stderr, "add_record failed\n");
            return {};
        }
    }
    const double adding = seconds_since(start);
    StatusByte status{SorterStatus::Open};
    core.lock();
    auto started = core.start_read(status, false, poll);
    core.unlock();
    const double starting = seconds_since(start) - adding;
    if (!started) {
        std::fprintf(stderr, "start_read failed\n");
        return {};
    }
    Merger& merger = *started.value();
    RecordView record;
    uint8_t previous[kKeyBytes] = {};
    uint64_t out = 0;
    bool ordered = true;
    for (;;) {
        EngineResult<bool> next = merger.merge_next(&record);
        if (!next) {
            std::fprintf(stderr, "merge_next: %s\n", next.error().text().c_str());
            return {};
        }
        if (!next.value()) break;
        if (record.key.size() != kKeyBytes || record.payload.size() != kPayloadBytes) ordered = false;
        if (out > 0 && std::memcmp(previous, record.key.data(), kKeyBytes) > 0) ordered = false;
        std::memcpy(previous, record.key.data(), kKeyBytes);
        ++out;
    }
    const double total = seconds_since(start);
    return {total, out, ordered && out == count, adding, starting, total - adding - starting};
}

bool write_text_lines(const std::string& path, uint64_t count) {
    FILE* file = std::fopen(path.c_str(), "w");
    if (file == nullptr) return false;
    RecordSource source(42);
    uint8_t key[kKeyBytes];
    char line[kKeyBytes * 2 + kPayloadBytes + 1];
    static const char kHex[] = "0123456789abcdef";
    for (uint64_t i = 0; i < count; ++i) {
        source.next(key, line + kKeyBytes * 2);
        for (size_t b = 0; b < kKeyBytes; ++b) {
            line[2 * b] = kHex[key[b] >> 4];
            line[2 * b + 1] = kHex[key[b] & 15];
        }
        line[sizeof line - 1] = '\n';
        if (std::fwrite(line, 1, sizeof line, file) != sizeof line) {
            std::fclose(file);
            return false;
        }
    }
    return std::fclose(file) == 0;
}

// GNU sort as a child process of its own, so that wait4 gives its peak RSS.
Outcome gnu_sort(const std::string& input, const std::string& tmp, uint64_t count) {
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setenv("LC_ALL", "C", 1);
        ::execlp("sort", "sort", "-S", "64M", "--parallel=2", "-T", tmp.c_str(), "-o", "/dev/null",
                 input.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    struct rusage usage {};
    ::wait4(pid, &status, 0, &usage);
    const bool ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return {{seconds_since(start), count, ok}, usage.ru_maxrss, cpu_seconds_of(usage)};
}

void print_row(const char* name, const Outcome& o, double mib) {
    std::printf("%-28s %8.2f s %9.1f MB/s %9.1f MiB peak RSS  (cpu %.2f s; load %s)%s\n", name,
                o.report.seconds, mib * 1.048576 / o.report.seconds, o.peak_rss_kib / 1024.0, o.cpu_seconds,
                load_average().c_str(), o.report.ok ? "" : "  FAILED");
}

}  // namespace

int main(int argc, char** argv) {
    const double mib = argc > 1 ? std::atof(argv[1]) : 1024.0;
    const uint64_t count = static_cast<uint64_t>(mib * 1048576.0 / (kKeyBytes + kPayloadBytes));
    char pattern[] = "/tmp/engine-bench-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string base = pattern;
    std::printf("%" PRIu64 " records of %zu-byte keys and %zu-byte payloads: %.0f MiB; max_bytes %" PRIu64
                " MiB, max_open %" PRIu64 "\n",
                count, kKeyBytes, kPayloadBytes, mib, kMaxBytes >> 20, kMaxOpen);
    std::fflush(stdout);

    const Outcome gen = in_child([&] { return generate_only(count); });
    print_row("making the records only", gen, mib);
    std::fflush(stdout);
    Outcome engine[2];
    for (uint64_t threads : {1, 2}) {
        engine[threads - 1] = in_child([&] { return engine_sort(base, count, threads); });
        const std::string name = "engine, threads " + std::to_string(threads);
        print_row(name.c_str(), engine[threads - 1], mib);
        const ChildReport& r = engine[threads - 1].report;
        std::printf("    adding %.2f s, start_read %.2f s, merging %.2f s\n", r.adding, r.starting, r.merging);
        std::fflush(stdout);
    }

    const std::string input = base + "/lines.txt";
    if (!write_text_lines(input, count)) {
        std::perror("writing the text lines");
        return 1;
    }
    const Outcome gnu = gnu_sort(input, base, count);
    print_row("GNU sort -S 64M --parallel=2", gnu, mib);
    std::printf("(GNU sort reads %" PRIu64 " MiB of text lines from the page cache)\n",
                count * (kKeyBytes * 2 + kPayloadBytes + 1) >> 20);

    const double overhead_1 = 1048576.0 + 1 * 275279.0 + kMaxOpen * 275279.0;
    const double overhead_2 = 1048576.0 + 4 * 275279.0 + kMaxOpen * 275279.0;
    std::printf("speed, engine threads 2 / GNU sort: %.2fx (%.2fx not counting the making of the records)\n",
                gnu.report.seconds / engine[1].report.seconds,
                gnu.report.seconds / (engine[1].report.seconds - gen.report.seconds));
    std::printf("speed, engine threads 1 / GNU sort: %.2fx (%.2fx not counting the making of the records)\n",
                gnu.report.seconds / engine[0].report.seconds,
                gnu.report.seconds / (engine[0].report.seconds - gen.report.seconds));
    std::printf("peak RSS bound, threads 1: %.1f MiB; threads 2: %.1f MiB (max_bytes + overhead + 16 MiB)\n",
                (kMaxBytes + overhead_1 + (16 << 20)) / 1048576.0, (kMaxBytes + overhead_2 + (16 << 20)) / 1048576.0);
    FileOps::system()->remove_tree(base);
    return engine[0].report.ok && engine[1].report.ok && gnu.report.ok ? 0 : 1;
}
