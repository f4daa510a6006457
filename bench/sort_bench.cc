// Times sort_entries on one half's worth of records: without a pool, on a pool of 1 and a
// pool of 2 workers, against std::sort of std::string_view over the same keys.
//
//   sort_bench [records] [repetitions]     (default 4000000 records, best of 5)
//
// Targets: a pool of 2 at least 1.6x faster than a pool of 1; no pool no slower than the
// string_view sort.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <random>
#include <string_view>
#include <vector>

#include "sorter/record_buffer.h"
#include "sorter/sort_pool.h"

namespace {

using tessarune::RecordBuffer;
using tessarune::RecordEntry;

constexpr size_t kKeyBytes = 16;
constexpr size_t kPayloadBytes = 8;

double best_ms(size_t repetitions, const std::function<void()>& prepare,
               const std::function<void()>& work) {
    double best = 1e300;
    for (size_t r = 0; r < repetitions; ++r) {
        prepare();
        const auto start = std::chrono::steady_clock::now();
        work();
        const std::chrono::duration<double, std::milli> took =
            std::chrono::steady_clock::now() - start;
        best = std::min(best, took.count());
    }
    return best;
}

bool sorted(const RecordBuffer& buffer) {
    for (size_t i = 1; i < buffer.record_count(); ++i) {
        if (!tessarune::entry_less(buffer, buffer.entries()[i - 1], buffer.entries()[i])) {
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const size_t count = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 4000000;
    const size_t repetitions = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 5;

    std::mt19937_64 rng(20240601);
    RecordBuffer buffer;
    uint8_t record[kKeyBytes + kPayloadBytes];
    for (size_t i = 0; i < count; ++i) {
        for (uint8_t& b : record) b = static_cast<uint8_t>(rng());
        buffer.append({record, kKeyBytes}, {record + kKeyBytes, kPayloadBytes});
    }
    const std::vector<RecordEntry> unsorted(buffer.entries().begin(), buffer.entries().end());
    const auto restore = [&] {
        std::copy(unsorted.begin(), unsorted.end(), buffer.entries().begin());
    };

    std::shared_ptr<tessarune::SortPool> pool1 = std::move(tessarune::SortPool::create(1)).value();
    std::shared_ptr<tessarune::SortPool> pool2 = std::move(tessarune::SortPool::create(2)).value();

    const double none_ms = best_ms(repetitions, restore, [&] { sort_entries(buffer, nullptr); });
    if (!sorted(buffer)) {
        std::fprintf(stderr, "sort without a pool gave a wrong order\n");
        return 1;
    }
    const double one_ms = best_ms(repetitions, restore, [&] { sort_entries(buffer, pool1.get()); });
    const double two_ms = best_ms(repetitions, restore, [&] { sort_entries(buffer, pool2.get()); });
    if (!sorted(buffer)) {
        std::fprintf(stderr, "sort on a pool of 2 gave a wrong order\n");
        return 1;
    }

    const char* arena = reinterpret_cast<const char*>(buffer.arena().data());
    std::vector<std::string_view> keys(count);
    const auto fill_views = [&] {
        for (size_t i = 0; i < count; ++i) keys[i] = {arena + unsorted[i].offset, kKeyBytes};
    };
    const double views_ms =
        best_ms(repetitions, fill_views, [&] { std::sort(keys.begin(), keys.end()); });

    std::printf("%zu records, %zu-byte keys, %zu-byte payloads, best of %zu\n", count, kKeyBytes,
                kPayloadBytes, repetitions);
    std::printf("  sort_entries, no pool       %9.1f ms\n", none_ms);
    std::printf("  sort_entries, pool of 1     %9.1f ms\n", one_ms);
    std::printf("  sort_entries, pool of 2     %9.1f ms\n", two_ms);
    std::printf("  std::sort of string_view    %9.1f ms\n", views_ms);
    std::printf("  pool of 2 vs pool of 1      %9.2fx faster (target 1.6x)\n", one_ms / two_ms);
    std::printf("  no pool vs string_view sort %9.2fx faster (target 1.0x)\n", views_ms / none_ms);
    return 0;
}
