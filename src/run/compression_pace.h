// CompressionPace: how thoroughly a run writer compresses its next blocks.
//
// Compression costs the workers' time and saves the time of writing the bytes it removes and
// of reading them back. Both sides vary by far more than either alone: LZ4 halves log lines
// at about 450 MB/s and cuts random words by 7%; a page cache takes 1 to 8 GB/s, a disk that
// is behind on writing back 100 to 500 MB/s. Sorting log lines through the page cache is a
// third faster uncompressed; onto a slow disk, compressed. So the writer measures both sides
// as it goes: it compresses thoroughly while the time that saves (twice the write time of the
// bytes saved: once written, once read) exceeds what the thorough setting costs beyond the
// fast one, and at the fast setting (nearly a copy) otherwise. At the fast setting one block
// in kProbeEvery, the first of its group, is still compressed thoroughly, which keeps the
// figures current and decides whether that goes on. A writer starts at the fast setting, so
// that its first probe comes once a write has been timed.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tessarune {

// Acceleration 6 compresses text lines 1.1 to 1.7 times as fast as 2, for 3 to 13% more
// bytes; it also decompresses faster.
inline constexpr int kThoroughAcceleration = 6;
// Nearly a copy: 8 GB/s, and 4 times as fast to decompress as acceleration 6.
inline constexpr int kFastAcceleration = 1024;

// Blocks compressed at one setting: their raw bytes, what they came to, and the time taken.
struct CompressionTally {
    uint64_t raw = 0;
    uint64_t compressed = 0;
    uint64_t ns = 0;

    void add(uint64_t raw_bytes, uint64_t compressed_bytes, uint64_t nanoseconds) {
        raw += raw_bytes;
        compressed += compressed_bytes;
        ns += nanoseconds;
    }
};

// True if compressing at the thorough setting saves more time than it costs: `thorough` and
// `fast` are recent blocks at each setting (`fast` may be empty: then taken as stored
// uncompressed, at no cost), `write_ns` over `written` bytes the time the file's writes took
// (none yet: false).
inline bool thorough_compression_pays(const CompressionTally& thorough, const CompressionTally& fast,
                                      uint64_t written, uint64_t write_ns) {
    if (thorough.raw == 0 || written == 0) return false;
    const double thorough_ratio = double(thorough.compressed) / double(thorough.raw);
    const double fast_ratio = fast.raw == 0 ? 1.0 : double(fast.compressed) / double(fast.raw);
    const double thorough_cost = double(thorough.ns) / double(thorough.raw);
    const double fast_cost = fast.raw == 0 ? 0.0 : double(fast.ns) / double(fast.raw);
    const double write_cost = double(write_ns) / double(written);
    return thorough_cost - fast_cost < 2 * write_cost * (fast_ratio - thorough_ratio);
}

class CompressionPace {
public:
    bool probing() const { return fast_ && fast_blocks_ >= kProbeEvery; }

    int acceleration(size_t slot) const {
        return fast_ && !(slot == 0 && probing()) ? kFastAcceleration : kThoroughAcceleration;
    }

    // After each write to the run's file.
    void note_write(uint64_t bytes, uint64_t ns) {
        written_ += bytes;
        write_ns_ += ns;
    }

    // After a group of `blocks` blocks, each compressed at acceleration(i): the tallies of
    // those at either setting.
    void note_group(size_t blocks, const CompressionTally& thorough, const CompressionTally& fast) {
        if (fast.raw != 0) last_fast_ = fast;
        if (thorough.raw == 0) {
            fast_blocks_ += blocks;  // a fast group without a probe
            return;
        }
        last_thorough_ = thorough;
        fast_ = !thorough_compression_pays(last_thorough_, last_fast_, written_, write_ns_);
        fast_blocks_ = 0;
    }

private:
    static constexpr size_t kProbeEvery = 16;

    bool fast_ = true;
    size_t fast_blocks_ = 0;  // compressed fast since the last thorough one
    CompressionTally last_thorough_;
    CompressionTally last_fast_;
    uint64_t written_ = 0;
    uint64_t write_ns_ = 0;
};

}  // namespace tessarune
