// SorterStats: what one sorter did, counted as it goes, for diagnostics and the command line.
//
// The counters are written by whoever does the work: the adding thread under the engine's
// mutex, a spill thread, a merge pass, the file writes of run files (from spill threads and
// pool workers). A reader (Sorter.stats()) takes no lock, so every field is an atomic and
// a snapshot is only consistent field by field, which is all a progress report needs.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

namespace tessarune {

// One reading of the counters. Times are in nanoseconds.
struct StatsSnapshot {
    uint64_t items = 0;                     // records accepted
    uint64_t bytes_in = 0;                  // key and payload bytes of those records
    uint64_t runs_spilled = 0;              // runs written by spills (not merge passes)
    uint64_t merge_passes = 0;              // merge passes run before the final merge
    uint64_t bytes_spilled = 0;             // record stream bytes of every run written
    uint64_t bytes_spilled_compressed = 0;  // bytes written to run files
    uint64_t peak_memory = 0;               // most record memory held at once, as max_bytes counts it
    uint64_t fill_ns = 0;                   // from the sorter's making to the start of the read
    uint64_t spill_wait_ns = 0;             // of which adders waited for a spill
    uint64_t spill_ns = 0;                  // spent by spill threads sorting and writing
    uint64_t merge_pass_ns = 0;             // merge passes at the start of the read
    uint64_t last_sort_ns = 0;              // sorting the half that stays in memory
    uint64_t read_ns = 0;                   // from the read's start to its end (or to now)
};

class SorterStats {
public:
    using Clock = std::chrono::steady_clock;

    SorterStats() : made_(Clock::now()) {}  // the atomics make it neither copyable nor movable

    static uint64_t since(Clock::time_point start) {
        return static_cast<uint64_t>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count());
    }

    // One writer at a time (the engine's mutex holder), once per record: a load and a store,
    // not a locked read-modify-write.
    void add_added(uint64_t items, uint64_t bytes) {
        items_.store(items_.load(std::memory_order_relaxed) + items, std::memory_order_relaxed);
        bytes_in_.store(bytes_in_.load(std::memory_order_relaxed) + bytes, std::memory_order_relaxed);
    }
    void note_memory(uint64_t held) {
        uint64_t peak = peak_memory_.load(std::memory_order_relaxed);
        while (held > peak && !peak_memory_.compare_exchange_weak(peak, held, std::memory_order_relaxed)) {
        }
    }
    // A spill counts its run when it starts, and its bytes once the writer has counted them.
    void add_spill() { runs_spilled_.fetch_add(1, std::memory_order_relaxed); }
    void add_spilled_bytes(uint64_t record_bytes) { bytes_spilled_.fetch_add(record_bytes, std::memory_order_relaxed); }
    void add_merge_pass(uint64_t record_bytes, uint64_t ns) {
        merge_passes_.fetch_add(1, std::memory_order_relaxed);
        bytes_spilled_.fetch_add(record_bytes, std::memory_order_relaxed);
        merge_pass_ns_.fetch_add(ns, std::memory_order_relaxed);
    }
    void add_file_bytes(uint64_t n) { file_bytes_.fetch_add(n, std::memory_order_relaxed); }
    void add_spill_wait(uint64_t ns) { spill_wait_ns_.fetch_add(ns, std::memory_order_relaxed); }
    void add_spill_time(uint64_t ns) { spill_ns_.fetch_add(ns, std::memory_order_relaxed); }
    void add_last_sort(uint64_t ns) { last_sort_ns_.fetch_add(ns, std::memory_order_relaxed); }

    // The read started, or came to its end, now (the first call counts).
    void note_read_start() { note_first(read_start_ns_); }
    void note_read_end() { note_first(read_end_ns_); }

    StatsSnapshot snapshot() const {
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

private:
    void note_first(std::atomic<uint64_t>& at) const {
        uint64_t none = 0;
        at.compare_exchange_strong(none, since(made_) | 1, std::memory_order_relaxed);
    }

    const Clock::time_point made_;
    std::atomic<uint64_t> items_{0}, bytes_in_{0}, runs_spilled_{0}, merge_passes_{0};
    std::atomic<uint64_t> bytes_spilled_{0}, file_bytes_{0}, peak_memory_{0};
    std::atomic<uint64_t> spill_wait_ns_{0}, spill_ns_{0}, merge_pass_ns_{0}, last_sort_ns_{0};
    // Offsets from made_, with the low bit set so that 0 means "not yet".
    std::atomic<uint64_t> read_start_ns_{0}, read_end_ns_{0};
};

}  // namespace tessarune
