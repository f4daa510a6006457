// Reading a key means a cache miss into the arena, so the sort works on a table of 16-byte
// items that carry 11 key bytes, how many of them the key has, and the entry's index. The
// bytes that every key of the buffer shares (the type tag, a common date) carry no order, so
// the items' bytes start behind them; when bytes further on never change either (the
// separators of a timestamp), the first items carry the first 11 bytes that do. The items
// are sorted as integers: an MSD radix partition on the eight highest bits in which they
// differ, std::sort for small ranges. Items that still tie and whose keys go on are loaded
// again from the next 11 bytes and sorted again, so the arena is read once per item and
// level, never once per comparison. The sorted items are overwritten in place by the entries
// they stand for and copied back.
//
// With a pool, the plan and the items are made in one chunk per worker; the calling thread
// partitions the items once by their leading bits, and the workers sort the buckets, largest
// first.
#include "sorter/entry_sort.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <new>
#include <numeric>
#include <type_traits>
#include <utility>
#include <vector>

#include "base/engine_error.h"
#include "base/growable_array.h"
#include "key/key_compare.h"

namespace tessarune {
namespace {

// Key bytes an item carries: 8 in `window`, 3 at the top of `low`.
constexpr uint32_t kWindowBytes = 11;
// Below this many items a range is left to std::sort rather than partitioned.
constexpr size_t kRadixMin = 256;
// Ties nested deeper than this many windows are settled by comparing the keys in the arena,
// which bounds the recursion however long the keys are.
constexpr int kMaxTieDepth = 48;
// How far past the shared prefix constant bytes are looked for.
constexpr uint32_t kSparseReach = 64;

// One record in the sort: 11 key bytes from `depth` on, big-endian and zero-padded, a code
// (how many bytes the key has from depth on, or span + 1 if it goes on past the window's
// span), and the entry's index in adding order. The order of (window, low) as integers is the
// record order, except among items whose windows and codes are equal with code span + 1:
// those are sorted again on their next 11 bytes. Equal keys come out by index, which is the
// adding order.
static_assert(sizeof(SortItem) == sizeof(RecordEntry));
static_assert(std::is_trivially_copyable_v<SortItem> && std::is_trivially_copyable_v<RecordEntry>);

// A lambda rather than a function, so that std::sort inlines it.
constexpr auto item_less = [](const SortItem& a, const SortItem& b) {
    return a.window != b.window ? a.window < b.window : a.low < b.low;
};
inline uint32_t index_of(const SortItem& item) { return static_cast<uint32_t>(item.low); }
// The window's bytes and code: equal for two items whose keys agree throughout the window.
inline uint64_t head_of_low(const SortItem& item) { return item.low >> 32; }
inline uint64_t code_of(const SortItem& item) { return (item.low >> 32) & 0xff; }

// Which key bytes an item carries, counted from `depth`. Plain: bytes [0, 11). Sparse: the
// bytes at `offsets`, where every byte of [0, span) that no offset names is the same in every key
// that has it; among keys whose windows are equal, a key that ends sooner is then a proper
// prefix of the longer one, and keys with equal windows and codes up to span are equal.
struct Window {
    uint32_t depth = 0;
    bool sparse = false;
    uint32_t count = 0;
    uint32_t span = kWindowBytes;
    uint32_t offsets[kWindowBytes] = {};
};

inline SortItem make_item(const uint8_t* arena, const RecordEntry& e, const Window& w, uint32_t index) {
    const uint64_t remaining = e.key_length > w.depth ? e.key_length - w.depth : 0;
    const uint8_t* p = arena + entry_offset(e) + w.depth;
    const uint64_t low = (std::min<uint64_t>(remaining, uint64_t{w.span} + 1) << 32) | index;
    if (!w.sparse && remaining >= 16) return SortItem{load_be64(p), (load_be64(p + 8) >> 40 << 40) | low};
    uint8_t padded[16] = {};
    if (w.sparse) {
        for (uint32_t i = 0; i < w.count; ++i) padded[i] = w.offsets[i] < remaining ? p[w.offsets[i]] : 0;
    } else if (remaining != 0) {
        std::memcpy(padded, p, remaining);
    }
    return SortItem{load_be64(padded), (load_be64(padded + 8) >> 40 << 40) | low};
}

// The whole record order of two entries whose keys lie in `arena`: key bytes, then adding
// order, which is the offset's, and among records of no bytes at one offset the payload length's.
bool record_less(const uint8_t* arena, const RecordEntry& a, const RecordEntry& b) {
    const int c = compare_keys(Bytes(arena + entry_offset(a), a.key_length),
                               Bytes(arena + entry_offset(b), b.key_length));
    if (c != 0) return c < 0;
    return std::pair(entry_offset(a), a.payload_length) < std::pair(entry_offset(b), b.payload_length);
}

// The comparisons read the arena unchecked, so every entry is checked before anything moves.
void check_entries(const RecordEntry* begin, const RecordEntry* end, size_t arena_size) {
    for (const RecordEntry* e = begin; e != end; ++e) {
        TR_CHECK(entry_offset(*e) <= arena_size &&
                 uint64_t{e->key_length} + e->payload_length <= arena_size - entry_offset(*e));
    }
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
            const int top = 63 - std::countl_zero(differ);
            const int length = std::min<int>(std::countl_one(differ << (63 - top)), 8 - static_cast<int>(taken));
            const int low = top - length + 1;
            shift_[runs_] = static_cast<uint8_t>(low);
            width_[runs_] = static_cast<uint8_t>(length);
            mask_[runs_] = (uint64_t{1} << length) - 1;
            differ &= ~(mask_[runs_] << low);
            ++runs_;
            taken += static_cast<uint32_t>(length);
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

// Which of the bytes [depth, depth + limit) differ from `first`'s, among the keys of
// [begin, end) that have them (bit i stands for byte depth + i), and the length of the
// shortest key. REQUIRES: limit <= 64 and `first` has at least depth + limit bytes.
uint64_t varying_bytes(const uint8_t* arena, const RecordEntry* begin, const RecordEntry* end,
                       const uint8_t* first, uint32_t depth, uint32_t limit, uint32_t& shortest) {
    uint64_t differ[kSparseReach / 8] = {};
    const uint8_t* f = first + depth;
    shortest = std::numeric_limits<uint32_t>::max();
    for (const RecordEntry* e = begin; e != end; ++e) {
        shortest = std::min(shortest, e->key_length);
        const uint32_t length = e->key_length > depth ? std::min(e->key_length - depth, limit) : 0;
        const uint8_t* p = arena + entry_offset(*e) + depth;
        uint32_t w = 0;
        // In memory order: byte i of differ is byte 8 * w + i of the keys.
        for (; 8 * w + 8 <= length; ++w) {
            uint64_t a, b;
            std::memcpy(&a, p + 8 * w, 8);
            std::memcpy(&b, f + 8 * w, 8);
            differ[w] |= a ^ b;
        }
        if (const uint32_t tail = length - 8 * w; tail != 0) {
            uint64_t a = 0, b = 0;
            std::memcpy(&a, p + 8 * w, tail);
            std::memcpy(&b, f + 8 * w, tail);
            differ[w] |= a ^ b;
        }
    }
    uint8_t bytes[kSparseReach];
    std::memcpy(bytes, differ, sizeof bytes);
    uint64_t mask = 0;
    for (uint32_t i = 0; i < kSparseReach; ++i) mask |= uint64_t{bytes[i] != 0} << i;
    return mask;
}

class ItemSorter {
public:
    ItemSorter(const uint8_t* arena, const RecordEntry* entries) : arena_(arena), entries_(entries) {}

    // Sorts [begin, end), whose items hold windows at `depth` covering `span` bytes, then
    // settles its ties.
    void sort(SortItem* begin, SortItem* end, uint32_t depth, uint32_t span, int tie_depth) const {
        sort_by_items(begin, end);
        SortItem* run = begin;
        while (run != end) {
            SortItem* run_end = std::find_if(run + 1, end, [run](const SortItem& item) {
                return item.window != run->window || head_of_low(item) != head_of_low(*run);
            });
            if (run_end - run >= 2 && code_of(*run) == span + 1) settle_run(run, run_end, depth + span, tie_depth + 1);
            run = run_end;
        }
    }

    // Sorts by (window, low) only.
    static void sort_by_items(SortItem* begin, SortItem* end) {
        for (;;) {
            size_t bounds[257];
            if (end - begin < static_cast<ptrdiff_t>(kRadixMin) || !partition(begin, end, bounds)) {
                std::sort(begin, end, item_less);
                return;
            }
            // The largest bucket is sorted in this loop, the others by recursion, which keeps
            // the stack shallow whatever the distribution.
            size_t largest = 0;
            for (size_t b = 1; b < 256; ++b) {
                if (bounds[b + 1] - bounds[b] > bounds[largest + 1] - bounds[largest]) largest = b;
            }
            for (size_t b = 0; b < 256; ++b) {
                if (b != largest && bounds[b + 1] - bounds[b] > 1) sort_by_items(begin + bounds[b], begin + bounds[b + 1]);
            }
            end = begin + bounds[largest + 1];
            begin = begin + bounds[largest];
        }
    }

    // In place by the radix digit of the windows; bounds[b] is where bucket b starts,
    // bounds[256] the range's length. False, with nothing moved, if the windows are all equal.
    static bool partition(SortItem* begin, SortItem* end, size_t* bounds) {
        uint64_t differ = 0;
        for (const SortItem* it = begin + 1; it < end; ++it) differ |= it->window ^ begin->window;
        if (differ == 0) return false;
        const RadixDigit digit(differ);
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
        return true;
    }

private:
    void settle_run(SortItem* begin, SortItem* end, uint32_t depth, int tie_depth) const {
        if (tie_depth > kMaxTieDepth) {
            std::sort(begin, end, [this](const SortItem& a, const SortItem& b) {
                return record_less(arena_, entries_[index_of(a)], entries_[index_of(b)]);
            });
            return;
        }
        const Window plain{.depth = depth};
        for (SortItem* it = begin; it != end; ++it) *it = make_item(arena_, entries_[index_of(*it)], plain, index_of(*it));
        sort(begin, end, depth, kWindowBytes, tie_depth);
    }

    const uint8_t* arena_;
    const RecordEntry* entries_;
};

// The work of one sort cut into near-equal chunks of the entries, one per worker, or a single
// chunk on the calling thread when `pool` is null.
struct Split {
    SortPool* pool;
    size_t n;
    size_t chunks;

    size_t bound(size_t c) const { return n / chunks * c + std::min(c, n % chunks); }
    template <typename Task>
    void run(size_t count, const Task& task) const {
        if (pool != nullptr) {
            pool->run(count, task);
        } else {
            for (size_t i = 0; i < count; ++i) task(i);
        }
    }
    template <typename Task>  // task(chunk, begin, end)
    void per_chunk(const Task& task) const {
        run(chunks, [&](size_t c) { task(c, bound(c), bound(c + 1)); });
    }
};

// The bytes every key shares carry no order: the windows start behind them. Bytes past that
// prefix that no key changes carry no order either: when there are such bytes among the
// first ones that vary, the first window skips them. One pass over the keys' first bytes
// usually finds both.
Window plan_windows(const uint8_t* data, const RecordEntry* table, const Split& split) {
    const uint8_t* first = data + entry_offset(table[0]);
    const uint32_t first_length = table[0].key_length;
    uint32_t shortest = 0;
    const auto varying_at = [&](uint32_t depth, uint32_t limit) {
        std::vector<uint64_t> varying(split.chunks);
        std::vector<uint32_t> shortest_of(split.chunks);
        split.per_chunk([&](size_t c, size_t b, size_t e) {
            varying[c] = varying_bytes(data, table + b, table + e, first, depth, limit, shortest_of[c]);
        });
        shortest = *std::min_element(shortest_of.begin(), shortest_of.end());
        return std::reduce(varying.begin(), varying.end(), uint64_t{0}, std::bit_or<>());
    };
    Window plan;
    uint32_t pass_depth = 0;
    uint64_t varying = 0;
    for (;;) {  // a prefix longer than one pass reaches takes more
        const uint32_t reach = std::min(first_length - pass_depth, kSparseReach);
        varying = varying_at(pass_depth, reach);
        plan.depth = pass_depth + (varying != 0 ? static_cast<uint32_t>(std::countr_zero(varying)) : reach);
        if (varying != 0 || reach < kSparseReach || shortest < plan.depth) break;
        pass_depth = plan.depth;
    }
    plan.depth = std::min(plan.depth, shortest);
    // Whole words only, so that keys at least as long as the first one need no tail.
    const uint32_t limit = std::min(first_length - plan.depth, kSparseReach) / 8 * 8;
    if (limit <= kWindowBytes) return plan;
    // The last pass saw which bytes vary up to pass_depth + kSparseReach.
    const uint32_t span = std::min(limit, (pass_depth + kSparseReach - plan.depth) / 8 * 8);
    if (span <= kWindowBytes) return plan;
    uint64_t behind = varying >> (plan.depth - pass_depth);  // bit i: byte depth + i varies
    if (span < 64) behind &= (uint64_t{1} << span) - 1;
    Window w{.depth = plan.depth, .sparse = true, .count = 0, .span = span};
    for (; behind != 0 && w.count < kWindowBytes; behind &= behind - 1) {
        w.offsets[w.count++] = static_cast<uint32_t>(std::countr_zero(behind));
    }
    if (w.count == kWindowBytes) w.span = w.offsets[kWindowBytes - 1] + 1;
    // A window over as many bytes as it carries is the plain one, which is cheaper.
    return w.span > w.count ? w : plan;
}

}  // namespace

void sort_record_entries(std::span<RecordEntry> entries, std::span<const uint8_t> arena,
                         SortPool* pool, size_t min_chunk, SortScratch* scratch) {
    TR_CHECK(min_chunk >= 1);
    const size_t n = entries.size();
    const uint8_t* data = arena.data();
    RecordEntry* table = entries.data();
    SortScratch own;
    SortScratch& items = scratch != nullptr ? *scratch : own;
    const bool indexable = n >= 2 && n <= std::numeric_limits<uint32_t>::max();
    try {
        if (indexable && items.capacity() < n) {
            items = SortScratch();  // the old block goes before the larger one is made
            items.set_capacity(n);
        }
    } catch (const std::bad_alloc&) {
    }
    if (!indexable || items.capacity() < n) {  // too few records, too many, or no memory for the items
        check_entries(table, table + n, arena.size());
        std::sort(table, table + n, [data](const RecordEntry& a, const RecordEntry& b) { return record_less(data, a, b); });
        return;
    }

    const size_t chunks = pool != nullptr ? std::min(pool->worker_count(), n / min_chunk) : 1;
    const Split split{chunks >= 2 ? pool : nullptr, n, std::max<size_t>(chunks, 1)};
    SortItem* all = items.data();
    split.per_chunk([&](size_t, size_t b, size_t e) { check_entries(table + b, table + e, arena.size()); });
    const Window plan = plan_windows(data, table, split);
    split.per_chunk([&](size_t, size_t b, size_t e) {
        for (size_t i = b; i < e; ++i) all[i] = make_item(data, table[i], plan, static_cast<uint32_t>(i));
    });

    // One partition here, then the buckets, largest first, each gathering its entries.
    size_t bounds[257] = {0, n};
    std::vector<size_t> order(1, 0);
    if (ItemSorter::partition(all, all + n, bounds)) {
        order.resize(256);
        std::iota(order.begin(), order.end(), size_t{0});
        const auto size = [&](size_t b) { return bounds[b + 1] - bounds[b]; };
        std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return size(a) > size(b); });
        while (size(order.back()) == 0) order.pop_back();
    }
    const ItemSorter sorter(data, table);
    split.run(order.size(), [&](size_t i) {
        SortItem* const begin = all + bounds[order[i]];
        SortItem* const end = all + bounds[order[i] + 1];
        sorter.sort(begin, end, plan.depth, plan.span, 0);
        // The entry table is only read until every bucket is done, so buckets gather at once.
        for (SortItem* it = begin; it != end; ++it) std::memcpy(static_cast<void*>(it), &table[index_of(*it)], sizeof *it);
    });
    std::memcpy(static_cast<void*>(table), all, n * sizeof(RecordEntry));
}

void sort_entries(RecordBuffer& buffer, SortPool* pool, SortScratch* scratch) {
    sort_record_entries(buffer.entries().span(), buffer.arena().span(), pool, kDefaultMinChunk, scratch);
}

}  // namespace tessarune
