#include "sorter/sorter_stats.h"

namespace tessarune {

StatsSnapshot SorterStats::snapshot() const {
    StatsSnapshot s;
    s.items = items_.load(std::memory_order_relaxed);
    s.bytes_in = bytes_in_.load(std::memory_order_relaxed);
    s.runs_spilled = runs_spilled_.load(std::memory_order_relaxed);
    s.merge_passes = merge_passes_.load(std::memory_order_relaxed);
    s.bytes_spilled = bytes_spilled_.load(std::memory_order_relaxed);
    s.bytes_spilled_compressed = file_bytes_.load(std::memory_order_relaxed);
    s.peak_memory = peak_memory_.load(std::memory_order_relaxed);
    s.spill_wait_ns = spill_wait_ns_.load(std::memory_order_relaxed);
    s.spill_ns = spill_ns_.load(std::memory_order_relaxed);
    s.merge_pass_ns = merge_pass_ns_.load(std::memory_order_relaxed);
    s.last_sort_ns = last_sort_ns_.load(std::memory_order_relaxed);

    const uint64_t now = since(made_);
    const uint64_t start = read_start_ns_.load(std::memory_order_relaxed);
    const uint64_t end = read_end_ns_.load(std::memory_order_relaxed);
    s.fill_ns = start != 0 ? start : now;
    if (start != 0) {
        const uint64_t stop = end != 0 ? end : now;
        s.read_ns = stop > start ? stop - start : 0;
    }
    return s;
}

}  // namespace tessarune
