#include "sorter/entry_sort.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <new>
#include <numeric>
#include <type_traits>
#include <utility>
#include <vector>

#include "base/engine_error.h"
#include "base/growable_array.h"
#include "base/sort_pool.h"
#include "key/key_compare.h"

namespace tessarune {
namespace {

// Key bytes an item carries: 8 in `window`, 3 at the top of `low`.
constexpr uint32_t kWindowBytes = 11;
// A code above kWindowBytes: the key goes on past the window.
constexpr uint64_t kGoesOn = kWindowBytes + 1;
// Below this many items a range is left to std::sort rather than partitioned.
constexpr size_t kRadixMin = 256;
// Ties nested deeper than this many windows are settled by comparing the keys in the arena,
// which bounds the recursion however long the keys are.
constexpr int kMaxTieDepth = 48;

// One record in the sort: key bytes [depth, depth + 11) big-endian and zero-padded, how many
// of them the key has (kGoesOn if it has more), and the entry's index in adding order. The
// order of (window, low) as integers is the record order, except among items whose windows
// and codes are equal with code kGoesOn: those are sorted again on their next 11 bytes.
// Equal keys come out by index, which is the adding order.
struct SortItem {
    uint64_t window;
    uint64_t low;  // bits 63..40: key bytes 8..10 of the window; 39..32: the code; 31..0: index
};
static_assert(sizeof(SortItem) == sizeof(RecordEntry));
static_assert(std::is_trivially_copyable_v<SortItem> && std::is_trivially_copyable_v<RecordEntry>);

inline bool item_less(const SortItem& a, const SortItem& b) {
    return a.window != b.window ? a.window < b.window : a.low < b.low;
}

inline uint32_t index_of(const SortItem& item) { return static_cast<uint32_t>(item.low); }
// The window's bytes and code: equal for two items whose keys agree throughout the window.
inline uint64_t head_of_low(const SortItem& item) { return item.low >> 32; }
inline uint64_t code_of(const SortItem& item) { return (item.low >> 32) & 0xff; }

inline uint64_t load_be64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
    return v;
}

inline SortItem make_item(const uint8_t* arena, const RecordEntry& e, uint32_t depth, uint32_t index) {
    const uint64_t remaining = e.key_length > depth ? e.key_length - depth : 0;
    const uint8_t* p = arena + entry_offset(e) + depth;
    uint64_t hi;
    uint64_t lo;
    if (remaining >= 16) {
        hi = load_be64(p);
        lo = load_be64(p + 8);
    } else {
        uint8_t padded[16] = {};
        if (remaining != 0) std::memcpy(padded, p, remaining);
        hi = load_be64(padded);
        lo = load_be64(padded + 8);
    }
    const uint64_t code = std::min<uint64_t>(remaining, kGoesOn);
    return SortItem{hi, (lo >> 40 << 40) | (code << 32) | index};
}

// The first window of a half whose keys keep some bytes constant past their shared prefix
// (the 'T', ':' and '.' of a timestamp, the separators of fixed fields): it carries the
// first 11 bytes at which keys differ, skipping the constant ones, so that ties past the
// window (which cost a second trip to the arena) become rare.
//
// `offsets` are relative to depth, ascending, within the first `span` bytes; every byte in
// [depth, depth + span) that no offset names is the same in every key that has it. The code
// is how many bytes the key has from depth on, or span + 1 if it goes on past the span:
// among keys whose windows are equal, a key that ends sooner is a proper prefix of the
// longer one (every byte before its end is equal), and keys with equal windows and codes up
// to span are equal throughout.
struct SparseWindow {
    uint32_t offsets[kWindowBytes];
    uint32_t count = 0;
    uint32_t span = 0;
};

inline SortItem make_sparse_item(const uint8_t* arena, const RecordEntry& e, uint32_t depth,
                                 const SparseWindow& w, uint32_t index) {
    const uint64_t remaining = e.key_length > depth ? e.key_length - depth : 0;
    const uint8_t* p = arena + entry_offset(e) + depth;
    uint8_t bytes[16] = {};
    for (uint32_t i = 0; i < w.count; ++i) {
        const uint32_t at = w.offsets[i];
        bytes[i] = at < remaining ? p[at] : 0;
    }
    const uint64_t hi = load_be64(bytes);
    const uint64_t lo = load_be64(bytes + 8);
    const uint64_t code = std::min<uint64_t>(remaining, uint64_t{w.span} + 1);
    return SortItem{hi, (lo >> 40 << 40) | (code << 32) | index};
}

// Full order of two records whose first `depth` key bytes are equal (or a prefix of the
// other's): the rest of the keys, then the adding order.
bool entry_tail_less(const uint8_t* arena, const RecordEntry& a, uint32_t ia, const RecordEntry& b,
                     uint32_t ib, uint32_t depth) {
    const uint32_t common = std::min(a.key_length, b.key_length);
    if (common > depth) {
        const int c = std::memcmp(arena + entry_offset(a) + depth, arena + entry_offset(b) + depth, common - depth);
        if (c != 0) return c < 0;
    }
    if (a.key_length != b.key_length) return a.key_length < b.key_length;
    return ia < ib;
}

// The whole record order of two entries whose keys lie in `arena`.
int compare_in(const uint8_t* arena, const RecordEntry& a, const RecordEntry& b) {
    const int c = compare_keys(Bytes(arena + entry_offset(a), a.key_length),
                               Bytes(arena + entry_offset(b), b.key_length));
    if (c != 0) return c;
    if (entry_offset(a) != entry_offset(b)) return entry_offset(a) < entry_offset(b) ? -1 : 1;
    if (a.payload_length != b.payload_length) return a.payload_length < b.payload_length ? -1 : 1;
    return 0;
}

// The comparisons read the arena unchecked, so every entry is checked before anything moves.
void check_entries(std::span<const RecordEntry> entries, size_t arena_size) {
    for (const RecordEntry& e : entries) {
        TR_CHECK(entry_offset(e) <= arena_size &&
                 uint64_t{e.key_length} + e.payload_length <= arena_size - entry_offset(e));
    }
}

// How many leading bytes every key of [begin, end) shares with `first`, at most `limit`.
uint32_t shared_prefix(const uint8_t* arena, const RecordEntry* begin, const RecordEntry* end,
                       const uint8_t* first, uint32_t limit) {
    for (const RecordEntry* e = begin; e != end && limit != 0; ++e) {
        const uint8_t* key = arena + entry_offset(*e);
        const uint32_t n = std::min(limit, e->key_length);
        uint32_t i = 0;
        while (i + 8 <= n && std::memcmp(key + i, first + i, 8) == 0) i += 8;
        while (i < n && key[i] == first[i]) ++i;
        limit = i;
    }
    return limit;
}

// The bucket of a radix pass: the eight highest bits in which the windows of a range differ.
// Bits that no two windows of the range differ in carry no order, and keys of text leave many
// of them (the high bits of digits and letters, separators such as ':' or 'T'), so the pass
// skips them: the eight bits are gathered from up to eight runs of differing bits, highest
// first, and the bucket's order is the windows' order.
class RadixDigit {
public:
    explicit RadixDigit(uint64_t differ) {
        uint32_t taken = 0;
        while (differ != 0 && taken < 8 && runs_ < 8) {
            const int top = 63 - std::countl_zero(differ);  // highest differing bit
            // The run of set bits from `top` down, at most the bits still wanted.
            const int length = std::min<int>(std::countl_one(differ << (63 - top)), 8 - static_cast<int>(taken));
            const int low = top - length + 1;
            shift_[runs_] = static_cast<uint8_t>(low);
            width_[runs_] = static_cast<uint8_t>(length);
            mask_[runs_] = (uint64_t{1} << length) - 1;
            ++runs_;
            taken += static_cast<uint32_t>(length);
            differ &= ~(mask_[runs_ - 1] << low);
        }
    }

    size_t bucket(uint64_t window) const {
        size_t b = (window >> shift_[0]) & mask_[0];
        for (uint32_t r = 1; r < runs_; ++r) b = (b << width_[r]) | ((window >> shift_[r]) & mask_[r]);
        return b;
    }

private:
    uint32_t runs_ = 0;
    uint8_t shift_[8] = {};
    uint8_t width_[8] = {};
    uint64_t mask_[8] = {};
};

// How far past the shared prefix constant bytes are looked for.
constexpr uint32_t kSparseReach = 64;

// Which of the bytes [depth, depth + limit) differ from `first`'s, among the keys of
// [begin, end) that have them: bit i stands for byte depth + i; and, if asked, the length of
// the shortest key. REQUIRES: limit <= 64 and `first` has at least depth + limit bytes.
uint64_t varying_bytes(const uint8_t* arena, const RecordEntry* begin, const RecordEntry* end,
                       const uint8_t* first, uint32_t depth, uint32_t limit,
                       uint32_t* shortest = nullptr) {
    uint64_t differ[kSparseReach / 8] = {};
    const uint8_t* f = first + depth;
    uint32_t min_length = UINT32_MAX;
    for (const RecordEntry* e = begin; e != end; ++e) {
        min_length = std::min(min_length, e->key_length);
        const uint32_t length = e->key_length > depth ? std::min(e->key_length - depth, limit) : 0;
        const uint8_t* p = arena + entry_offset(*e) + depth;
        uint32_t w = 0;
        for (; 8 * w + 8 <= length; ++w) {
            uint64_t a, b;
            std::memcpy(&a, p + 8 * w, 8);
            std::memcpy(&b, f + 8 * w, 8);
            differ[w] |= a ^ b;
        }
        if (const uint32_t tail = length - 8 * w; tail != 0) {
            uint8_t a[8] = {}, b[8] = {};
            std::memcpy(a, p + 8 * w, tail);
            std::memcpy(b, f + 8 * w, tail);
            uint64_t x, y;
            std::memcpy(&x, a, 8);
            std::memcpy(&y, b, 8);
            differ[w] |= x ^ y;
        }
    }
    if (shortest != nullptr) *shortest = min_length;
    uint64_t mask = 0;
    for (uint32_t w = 0; w < kSparseReach / 8; ++w) {
        uint8_t bytes[8];
        std::memcpy(bytes, &differ[w], 8);
        for (uint32_t i = 0; i < 8; ++i) {
            if (bytes[i] != 0) mask |= uint64_t{1} << (8 * w + i);
        }
    }
    return mask;
}

// The sparse first window for the bytes that vary (see varying_bytes) within `limit` bytes;
// false when it would carry the same bytes as the plain window, which is then cheaper.
bool plan_sparse_window(uint64_t varying, uint32_t limit, SparseWindow& w) {
    w.count = 0;
    w.span = limit;
    for (uint64_t rest = varying; rest != 0 && w.count < kWindowBytes; rest &= rest - 1) {
        w.offsets[w.count++] = static_cast<uint32_t>(std::countr_zero(rest));
    }
    if (w.count == kWindowBytes) w.span = w.offsets[kWindowBytes - 1] + 1;
    return w.span > w.count;
}

class ItemSorter {
public:
    ItemSorter(const uint8_t* arena, const RecordEntry* entries) : arena_(arena), entries_(entries) {}

    // Sorts [begin, end) whose items hold windows at `depth`, then settles its ties.
    void sort(SortItem* begin, SortItem* end, uint32_t depth, int tie_depth) const {
        sort_by_items(begin, end);
        settle_ties(begin, end, depth + kWindowBytes, kGoesOn, tie_depth);
    }

    // The same for items that hold a sparse first window: ties go on at depth + span.
    void sort_sparse(SortItem* begin, SortItem* end, uint32_t depth, const SparseWindow& w) const {
        sort_by_items(begin, end);
        settle_ties(begin, end, depth + w.span, uint64_t{w.span} + 1, 0);
    }

    // Sorts by (window, low) only.
    void sort_by_items(SortItem* begin, SortItem* end) const {
        for (;;) {
            const size_t n = static_cast<size_t>(end - begin);
            if (n < kRadixMin) {
                std::sort(begin, end, item_less);
                return;
            }
            uint64_t differ = 0;
            for (const SortItem* it = begin + 1; it != end; ++it) differ |= it->window ^ begin->window;
            if (differ == 0) {
                std::sort(begin, end, item_less);
                return;
            }
            size_t bounds[257];
            partition(begin, end, RadixDigit(differ), bounds);
            // The largest bucket is sorted in this loop, the others by recursion, which keeps
            // the stack shallow whatever the distribution.
            size_t largest = 0;
            for (size_t b = 1; b < 256; ++b) {
                if (bounds[b + 1] - bounds[b] > bounds[largest + 1] - bounds[largest]) largest = b;
            }
            for (size_t b = 0; b < 256; ++b) {
                if (b != largest && bounds[b + 1] - bounds[b] > 1) {
                    sort_by_items(begin + bounds[b], begin + bounds[b + 1]);
                }
            }
            end = begin + bounds[largest + 1];
            begin = begin + bounds[largest];
        }
    }

    // In place by the bucket `digit` gives; bounds[b] is where bucket b starts, bounds[256]
    // the range's length.
    static void partition(SortItem* begin, SortItem* end, const RadixDigit& digit, size_t* bounds) {
        size_t counts[256] = {};
        for (const SortItem* it = begin; it != end; ++it) ++counts[digit.bucket(it->window)];
        size_t next[256];
        bounds[0] = 0;
        for (size_t b = 0; b < 256; ++b) {
            next[b] = bounds[b];
            bounds[b + 1] = bounds[b] + counts[b];
        }
        for (size_t b = 0; b < 256; ++b) {
            while (next[b] < bounds[b + 1]) {
                SortItem item = begin[next[b]];
                size_t home = digit.bucket(item.window);
                while (home != b) {
                    std::swap(item, begin[next[home]++]);
                    home = digit.bucket(item.window);
                }
                begin[next[b]++] = item;
            }
        }
    }

    // Items whose windows and codes are equal and whose keys go on (their code is
    // `goes_on`) are sorted again on the window at `next_depth`.
    void settle_ties(SortItem* begin, SortItem* end, uint32_t next_depth, uint64_t goes_on,
                     int tie_depth) const {
        SortItem* run = begin;
        while (run != end) {
            SortItem* run_end = run + 1;
            while (run_end != end && run_end->window == run->window &&
                   head_of_low(*run_end) == head_of_low(*run)) {
                ++run_end;
            }
            if (run_end - run >= 2 && code_of(*run) == goes_on) {
                settle_run(run, run_end, next_depth, tie_depth + 1);
            }
            run = run_end;
        }
    }

private:
    void settle_run(SortItem* begin, SortItem* end, uint32_t depth, int tie_depth) const {
        if (tie_depth > kMaxTieDepth) {
            std::sort(begin, end, [this, depth](const SortItem& a, const SortItem& b) {
                return entry_tail_less(arena_, entries_[index_of(a)], index_of(a),
                                       entries_[index_of(b)], index_of(b), depth);
            });
            return;
        }
        for (SortItem* it = begin; it != end; ++it) {
            const uint32_t index = index_of(*it);
            *it = make_item(arena_, entries_[index], depth, index);
        }
        sort(begin, end, depth, tie_depth);
    }

    const uint8_t* arena_;
    const RecordEntry* entries_;
};

// Overwrites each item with the entry it stands for. The entry table is only read here, so
// ranges may be gathered in parallel before the result is copied back.
void gather(SortItem* begin, SortItem* end, const RecordEntry* entries) {
    for (SortItem* it = begin; it != end; ++it) {
        const RecordEntry& e = entries[index_of(*it)];
        std::memcpy(static_cast<void*>(it), &e, sizeof e);
    }
}

void sort_in_place(std::span<RecordEntry> entries, std::span<const uint8_t> arena) {
    check_entries(entries, arena.size());
    const uint8_t* data = arena.data();
    std::sort(entries.begin(), entries.end(),
              [data](const RecordEntry& a, const RecordEntry& b) {
                  return compare_in(data, a, b) < 0;
              });
}

// The chunk boundaries of n items cut into `chunks` near-equal parts.
std::vector<size_t> chunk_bounds(size_t n, size_t chunks) {
    std::vector<size_t> bounds(chunks + 1);
    for (size_t c = 0; c <= chunks; ++c) bounds[c] = n / chunks * c + std::min(c, n % chunks);
    return bounds;
}

// The entries of a sort cut into chunks, one per worker, and a way to run a task per chunk.
struct Chunks {
    SortPool* pool;
    std::vector<size_t> bounds;

    size_t count() const { return bounds.size() - 1; }
    template <typename Task>
    void run(const Task& task) const {
        if (count() >= 2) {
            pool->run(count(), task);
        } else {
            task(0);
        }
    }
};

// Where the items' windows start, and whether they skip bytes.
struct WindowPlan {
    uint32_t depth = 0;
    bool use_sparse = false;
    SparseWindow sparse;
};

// The bytes every key shares carry no order: the windows start behind them. Bytes past that
// prefix that no key changes carry no order either: when there are such bytes among the
// first ones that vary, the first window skips them. One pass over the keys' first bytes
// usually finds both; a prefix as long as that pass reaches takes two.
WindowPlan plan_windows(const uint8_t* data, const RecordEntry* table, const Chunks& chunks) {
    const std::vector<size_t>& bounds = chunks.bounds;
    const uint8_t* first = data + entry_offset(table[0]);
    const uint32_t first_length = table[0].key_length;
    const uint32_t reach = std::min(first_length, kSparseReach);
    std::vector<uint64_t> varying(chunks.count());
    std::vector<uint32_t> shortest(chunks.count());
    chunks.run([&](size_t c) {
        varying[c] = varying_bytes(data, table + bounds[c], table + bounds[c + 1], first, 0, reach, &shortest[c]);
    });
    uint64_t all_varying = 0;
    for (uint64_t v : varying) all_varying |= v;
    const uint32_t first_varying = all_varying != 0 ? static_cast<uint32_t>(std::countr_zero(all_varying)) : reach;
    WindowPlan plan;
    plan.depth = std::min({first_varying, *std::min_element(shortest.begin(), shortest.end()), first_length});
    uint32_t known = kSparseReach;  // varying bytes are known below this
    if (plan.depth == kSparseReach) {
        std::vector<uint32_t> shared(chunks.count());
        chunks.run([&](size_t c) {
            shared[c] = shared_prefix(data, table + bounds[c], table + bounds[c + 1], first, first_length);
        });
        plan.depth = *std::min_element(shared.begin(), shared.end());
        known = plan.depth;
    }
    // Whole words only, so that keys at least as long as the first one need no tail.
    const uint32_t limit = std::min(first_length - plan.depth, kSparseReach) / 8 * 8;
    if (limit <= kWindowBytes) return plan;
    uint64_t behind = 0;  // bit i: byte depth + i varies
    uint32_t span = limit;
    if (plan.depth < known) {
        behind = all_varying >> plan.depth;
        span = std::min(limit, (known - plan.depth) / 8 * 8);
    } else {
        std::vector<uint64_t> deeper(chunks.count());
        chunks.run([&](size_t c) {
            deeper[c] = varying_bytes(data, table + bounds[c], table + bounds[c + 1], first, plan.depth, limit);
        });
        for (uint64_t v : deeper) behind |= v;
    }
    if (span > kWindowBytes) {
        if (span < 64) behind &= (uint64_t{1} << span) - 1;
        plan.use_sparse = plan_sparse_window(behind, span, plan.sparse);
    }
    return plan;
}

// Sorts the items on the pool: one partition on the calling thread, then the buckets on the
// workers, largest first; each bucket gathers its entries in order.
template <typename SortRange>
void sort_buckets(SortItem* all, size_t n, const RecordEntry* table, SortPool& pool, const SortRange& sort_range) {
    uint64_t differ = 0;
    for (size_t i = 1; i < n; ++i) differ |= all[i].window ^ all[0].window;
    size_t buckets[257] = {0, n};
    size_t bucket_count = 1;
    if (differ != 0) {
        ItemSorter::partition(all, all + n, RadixDigit(differ), buckets);
        bucket_count = 256;
    }
    std::vector<size_t> order(bucket_count);
    std::iota(order.begin(), order.end(), size_t{0});
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        return buckets[a + 1] - buckets[a] > buckets[b + 1] - buckets[b];
    });
    while (!order.empty() && buckets[order.back() + 1] == buckets[order.back()]) order.pop_back();
    pool.run(order.size(), [&](size_t i) {
        SortItem* begin = all + buckets[order[i]];
        SortItem* end = all + buckets[order[i] + 1];
        sort_range(begin, end);
        gather(begin, end, table);
    });
}

}  // namespace

void sort_record_entries(std::span<RecordEntry> entries, std::span<const uint8_t> arena,
                         SortPool* pool, size_t min_chunk) {
    TR_CHECK(min_chunk >= 1);
    const size_t n = entries.size();
    if (n < 2) {
        check_entries(entries, arena.size());
        return;
    }
    if (n > std::numeric_limits<uint32_t>::max()) {
        sort_in_place(entries, arena);
        return;
    }
    GrowableArray<SortItem> items;
    try {
        items.set_capacity(n);
    } catch (const std::bad_alloc&) {
        sort_in_place(entries, arena);
        return;
    }

    size_t chunk_count = 1;
    if (pool != nullptr && pool->worker_count() >= 2) chunk_count = std::min(pool->worker_count(), n / min_chunk);
    const Chunks chunks{pool, chunk_bounds(n, std::max<size_t>(chunk_count, 1))};
    const std::vector<size_t>& bounds = chunks.bounds;
    const uint8_t* data = arena.data();
    const RecordEntry* table = entries.data();
    SortItem* all = items.data();

    chunks.run([&](size_t c) {
        check_entries(entries.subspan(bounds[c], bounds[c + 1] - bounds[c]), arena.size());
    });
    const WindowPlan plan = plan_windows(data, table, chunks);
    chunks.run([&](size_t c) {
        for (size_t i = bounds[c]; i < bounds[c + 1]; ++i) {
            all[i] = plan.use_sparse ? make_sparse_item(data, table[i], plan.depth, plan.sparse, static_cast<uint32_t>(i))
                                     : make_item(data, table[i], plan.depth, static_cast<uint32_t>(i));
        }
    });

    const ItemSorter sorter(data, table);
    const auto sort_range = [&](SortItem* begin, SortItem* end) {
        if (plan.use_sparse) {
            sorter.sort_sparse(begin, end, plan.depth, plan.sparse);
        } else {
            sorter.sort(begin, end, plan.depth, 0);
        }
    };
    if (chunks.count() < 2) {
        sort_range(all, all + n);
        gather(all, all + n, table);
    } else {
        sort_buckets(all, n, table, *pool, sort_range);
    }
    std::memcpy(static_cast<void*>(entries.data()), all, n * sizeof(RecordEntry));
}

int compare_entries(const RecordBuffer& buffer, const RecordEntry& a, const RecordEntry& b) {
    return compare_in(buffer.arena().data(), a, b);
}

bool entry_less(const RecordBuffer& buffer, const RecordEntry& a, const RecordEntry& b) {
    return compare_entries(buffer, a, b) < 0;
}

void sort_entries(RecordBuffer& buffer, SortPool* pool) {
    sort_record_entries(buffer.entries().span(), buffer.arena().span(), pool,
                        kDefaultMinChunk);
}

}  // namespace tessarune
