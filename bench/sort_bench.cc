// Times sort_entries on one half's worth of records: without a pool, on a pool of 1 and a
// pool of 2 workers, against std::sort of std::string_view over the same keys. Two kinds of
// keys: 16 random bytes, and bytes keys of web-log lines (a type tag, then an ISO timestamp,
// an address, a method and a path), which share a long prefix.
//
//   sort_bench [records] [repetitions]     (default 4000000 records, best of 5)
//
// Targets: a pool of 2 at least 1.6x faster than a pool of 1; no pool no slower than the
// string_view sort.
#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "base/record_buffer.h"
#include "base/sort_pool.h"
#include "key/key_compare.h"
#include "sorter/entry_sort.h"

namespace {

using tessarune::RecordBuffer;
using tessarune::RecordEntry;

constexpr size_t kKeyBytes = 16;
constexpr size_t kPayloadBytes = 8;

// The key of a log line as add_encoded(line, line) makes it (no zero bytes to escape).
std::string log_key(std::mt19937_64& rng) {
    static const char* const kMethods[] = {"GET", "GET", "GET", "POST", "PUT", "DELETE"};
    const uint64_t ms = rng() % (7ull * 86400 * 1000);
    const uint64_t s = ms / 1000;
    char line[128];
    const int n = std::snprintf(line, sizeof line, "@2026-11-%02llu" "T%02llu:%02llu:%02llu.%03lluZ 10.%u.%u.%u %s /api/v1/items/%llu\n",
                                static_cast<unsigned long long>(1 + s / 86400),
                                static_cast<unsigned long long>(s / 3600 % 24),
                                static_cast<unsigned long long>(s / 60 % 60),
                                static_cast<unsigned long long>(s % 60),
                                static_cast<unsigned long long>(ms % 1000),
                                static_cast<unsigned>(rng() % 4), static_cast<unsigned>(rng() % 256),
                                static_cast<unsigned>(rng() % 256), kMethods[rng() % 6],
                                static_cast<unsigned long long>(rng() % 100000));
    return std::string(line, static_cast<size_t>(n)) + std::string(2, '\0');
}

struct Timing {
    double wall_ms = 1e300;
    double cpu_ms = 0;  // of the whole process, in the fastest repetition
};

double cpu_now_ms() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

// The fastest of `repetitions` runs. The process CPU time shows whether a slow parallel run
// lacked free cores (machine busy) or did not spread its work.
Timing best_of(size_t repetitions, const std::function<void()>& prepare,
               const std::function<void()>& work) {
    Timing best;
    for (size_t r = 0; r < repetitions; ++r) {
        prepare();
        const double cpu_start = cpu_now_ms();
        const auto start = std::chrono::steady_clock::now();
        work();
        const std::chrono::duration<double, std::milli> took =
            std::chrono::steady_clock::now() - start;
        if (took.count() < best.wall_ms) best = {took.count(), cpu_now_ms() - cpu_start};
    }
    return best;
}

bool sorted(const RecordBuffer& buffer) {
    // Key order, and adding order (the arena offset) among equal keys.
    for (size_t i = 1; i < buffer.record_count(); ++i) {
        const int c = tessarune::compare_keys(buffer.key_of(i - 1), buffer.key_of(i));
        if (c > 0 || (c == 0 && buffer.entries()[i - 1].offset > buffer.entries()[i].offset)) return false;
    }
    return true;
}

// Figures taken while other work runs on the machine understate the parallel speed-up.
std::string load_average() {
    std::FILE* f = std::fopen("/proc/loadavg", "r");
    if (f == nullptr) return "unknown\n";
    char text[128] = {};
    const bool ok = std::fgets(text, sizeof text, f) != nullptr;
    std::fclose(f);
    return ok ? text : "unknown\n";
}

int run(size_t count, size_t repetitions, bool logs) {
    std::mt19937_64 rng(20240601);
    RecordBuffer buffer;
    uint8_t record[kKeyBytes + kPayloadBytes];
    for (size_t i = 0; i < count; ++i) {
        for (uint8_t& b : record) b = static_cast<uint8_t>(rng());
        if (logs) {
            const std::string key = log_key(rng);
            buffer.append({reinterpret_cast<const uint8_t*>(key.data()), key.size()},
                          {record + kKeyBytes, kPayloadBytes});
        } else {
            buffer.append({record, kKeyBytes}, {record + kKeyBytes, kPayloadBytes});
        }
    }
    const std::vector<RecordEntry> unsorted(buffer.entries().begin(), buffer.entries().end());
    const auto restore = [&] {
        std::copy(unsorted.begin(), unsorted.end(), buffer.entries().begin());
    };

    std::shared_ptr<tessarune::SortPool> pool1 = std::move(tessarune::SortPool::create(1)).value();
    std::shared_ptr<tessarune::SortPool> pool2 = std::move(tessarune::SortPool::create(2)).value();

    // As the sorter does: the items' scratch is kept from one sort to the next.
    tessarune::SortScratch scratch;
    const Timing none = best_of(repetitions, restore, [&] { sort_entries(buffer, nullptr, &scratch); });
    if (!sorted(buffer)) {
        std::fprintf(stderr, "sort without a pool gave a wrong order\n");
        return 1;
    }
    const Timing one = best_of(repetitions, restore, [&] { sort_entries(buffer, pool1.get(), &scratch); });
    const Timing two = best_of(repetitions, restore, [&] { sort_entries(buffer, pool2.get(), &scratch); });
    if (!sorted(buffer)) {
        std::fprintf(stderr, "sort on a pool of 2 gave a wrong order\n");
        return 1;
    }

    const char* arena = reinterpret_cast<const char*>(buffer.arena().data());
    std::vector<std::string_view> keys(count);
    const auto fill_views = [&] {
        for (size_t i = 0; i < count; ++i) keys[i] = {arena + unsorted[i].offset, unsorted[i].key_length};
    };
    const Timing views =
        best_of(repetitions, fill_views, [&] { std::sort(keys.begin(), keys.end()); });

    std::printf("%zu records, %s keys, %zu-byte payloads, best of %zu\n", count,
                logs ? "log-line" : "16-byte random", kPayloadBytes, repetitions);
    const auto line = [](const char* what, const Timing& t) {
        std::printf("  %-28s %9.1f ms  (cpu %9.1f ms)\n", what, t.wall_ms, t.cpu_ms);
    };
    line("sort_entries, no pool", none);
    line("sort_entries, pool of 1", one);
    line("sort_entries, pool of 2", two);
    line("std::sort of string_view", views);
    std::printf("  pool of 2 vs pool of 1       %9.2fx faster (target 1.6x)\n",
                one.wall_ms / two.wall_ms);
    std::printf("  no pool vs string_view sort  %9.2fx faster (target 1.0x)\n",
                views.wall_ms / none.wall_ms);
    std::printf("  load average at the end      %s", load_average().c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const size_t count = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 4000000;
    const size_t repetitions = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 5;
    const int random_keys = run(count, repetitions, false);
    const int log_keys = run(count, repetitions, true);
    return random_keys != 0 ? random_keys : log_keys;
}
