#include "sorter/entry_sort.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "sorter/engine_error.h"
#include "sorter/growable_array.h"
#include "sorter/sort_pool.h"

namespace tessarune {
namespace {

struct SortItem {
    uint64_t prefix;  // the key's first 8 bytes, big-endian, zero-padded
    RecordEntry entry;
};

// Zero padding keeps the integer order consistent with the byte order: two prefixes that
// differ decide the comparison, and equal ones leave it to the bytes behind them.
uint64_t key_prefix(const uint8_t* key, uint32_t length) {
    uint64_t v = 0;
    if (length >= 8) {
        std::memcpy(&v, key, 8);
        if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
        return v;
    }
    for (uint32_t i = 0; i < length; ++i) v |= uint64_t{key[i]} << (56 - 8 * i);
    return v;
}

// Order of two entries whose prefixes are equal.
bool tie_less(const uint8_t* arena, const RecordEntry& a, const RecordEntry& b) {
    const uint32_t common = std::min(a.key_length, b.key_length);
    // The first min(common, 8) bytes are equal, since they are inside both prefixes.
    if (common > 8) {
        const int c = std::memcmp(arena + entry_offset(a) + 8, arena + entry_offset(b) + 8,
                                  common - 8);
        if (c != 0) return c < 0;
    }
    if (a.key_length != b.key_length) return a.key_length < b.key_length;
    if (entry_offset(a) != entry_offset(b)) return entry_offset(a) < entry_offset(b);
    return a.payload_length < b.payload_length;
}

class ItemLess {
public:
    explicit ItemLess(const uint8_t* arena) : arena_(arena) {}
    bool operator()(const SortItem& a, const SortItem& b) const {
        if (a.prefix != b.prefix) return a.prefix < b.prefix;
        return tie_less(arena_, a.entry, b.entry);
    }

private:
    const uint8_t* arena_;
};

class EntryLess {
public:
    explicit EntryLess(const uint8_t* arena) : arena_(arena) {}
    bool operator()(const RecordEntry& a, const RecordEntry& b) const {
        const uint64_t pa = key_prefix(arena_ + entry_offset(a), a.key_length);
        const uint64_t pb = key_prefix(arena_ + entry_offset(b), b.key_length);
        if (pa != pb) return pa < pb;
        return tie_less(arena_, a, b);
    }

private:
    const uint8_t* arena_;
};

// The comparators read the arena unchecked, so every entry is checked once beforehand.
void check_entries(std::span<const RecordEntry> entries, size_t arena_size) {
    for (const RecordEntry& e : entries) {
        TR_CHECK(entry_offset(e) <= arena_size &&
                 uint64_t{e.key_length} + e.payload_length <= arena_size - entry_offset(e));
    }
}

void fill_items(std::span<const RecordEntry> entries, std::span<const uint8_t> arena,
                SortItem* out) {
    check_entries(entries, arena.size());
    for (const RecordEntry& e : entries) {
        *out++ = SortItem{key_prefix(arena.data() + entry_offset(e), e.key_length), e};
    }
}

// How many of a's items are among the first k of the merge of a and b.
size_t co_rank(const SortItem* a, size_t na, const SortItem* b, size_t nb, size_t k,
               const ItemLess& less) {
    size_t lo = k > nb ? k - nb : 0;
    size_t hi = std::min(k, na);
    while (lo < hi) {
        const size_t i = lo + (hi - lo) / 2;
        // a[i] before b[k - i - 1] means a[i] belongs to the first k: i is too small.
        if (less(a[i], b[k - i - 1])) {
            lo = i + 1;
        } else {
            hi = i;
        }
    }
    return lo;
}

// One slice [out_lo, out_hi) of the merge of the adjacent runs [lo, mid) and [mid, hi).
struct MergeSlice {
    size_t lo, mid, hi;
    size_t out_lo, out_hi;  // relative to lo
};

// Hands put() the merge of [a, a_end) and [b, b_end) in order.
template <typename Put>
void merge_runs(const SortItem* a, const SortItem* a_end, const SortItem* b,
                const SortItem* b_end, const ItemLess& less, Put put) {
    while (a != a_end && b != b_end) {
        if (less(*b, *a)) {
            put(*b++);
        } else {
            put(*a++);
        }
    }
    while (a != a_end) put(*a++);
    while (b != b_end) put(*b++);
}

// Merges one slice from src into dst, or, in the last round, straight into the entry table,
// which saves a pass over the items.
void merge_slice(const MergeSlice& s, const SortItem* src, SortItem* dst, RecordEntry* entries,
                 const ItemLess& less) {
    const SortItem* a = src + s.lo;
    const SortItem* b = src + s.mid;
    const size_t na = s.mid - s.lo;
    const size_t nb = s.hi - s.mid;
    const size_t i_lo = co_rank(a, na, b, nb, s.out_lo, less);
    const size_t i_hi = co_rank(a, na, b, nb, s.out_hi, less);
    const SortItem* a_begin = a + i_lo;
    const SortItem* a_end = a + i_hi;
    const SortItem* b_begin = b + (s.out_lo - i_lo);
    const SortItem* b_end = b + (s.out_hi - i_hi);
    if (entries != nullptr) {
        RecordEntry* out = entries + s.lo + s.out_lo;
        merge_runs(a_begin, a_end, b_begin, b_end, less,
                   [&out](const SortItem& item) { *out++ = item.entry; });
    } else {
        SortItem* out = dst + s.lo + s.out_lo;
        merge_runs(a_begin, a_end, b_begin, b_end, less,
                   [&out](const SortItem& item) { *out++ = item; });
    }
}

void sort_serial(std::span<RecordEntry> entries, std::span<const uint8_t> arena,
                 SortItem* items) {
    const ItemLess less(arena.data());
    fill_items(entries, arena, items);
    std::sort(items, items + entries.size(), less);
    for (size_t i = 0; i < entries.size(); ++i) entries[i] = items[i].entry;
}

void sort_in_place(std::span<RecordEntry> entries, std::span<const uint8_t> arena) {
    check_entries(entries, arena.size());
    std::sort(entries.begin(), entries.end(), EntryLess(arena.data()));
}

void sort_parallel(std::span<RecordEntry> entries, std::span<const uint8_t> arena,
                   SortPool& pool, size_t chunks, SortItem* items, SortItem* scratch) {
    const size_t n = entries.size();
    const size_t workers = pool.worker_count();
    const ItemLess less(arena.data());

    // The first n % chunks chunks take one record more than the others.
    std::vector<size_t> bounds(chunks + 1);
    for (size_t c = 0; c <= chunks; ++c) bounds[c] = n / chunks * c + std::min(c, n % chunks);
    pool.run(chunks, [&](size_t c) {
        fill_items(entries.subspan(bounds[c], bounds[c + 1] - bounds[c]), arena,
                   items + bounds[c]);
        std::sort(items + bounds[c], items + bounds[c + 1], less);
    });

    SortItem* src = items;
    SortItem* dst = scratch;
    std::vector<MergeSlice> slices;
    std::vector<size_t> next_bounds;
    while (bounds.size() > 2) {
        slices.clear();
        next_bounds.assign(1, 0);
        for (size_t r = 0; r + 1 < bounds.size(); r += 2) {
            const size_t lo = bounds[r];
            const size_t mid = bounds[r + 1];
            const size_t hi = r + 2 < bounds.size() ? bounds[r + 2] : mid;  // a lone run is copied
            // Each pair gets a share of the workers in proportion to its length.
            const size_t len = hi - lo;
            const size_t pieces = std::max<size_t>(1, (workers * len + n - 1) / n);
            for (size_t p = 0; p < pieces; ++p) {
                slices.push_back(MergeSlice{lo, mid, hi, len * p / pieces, len * (p + 1) / pieces});
            }
            next_bounds.push_back(hi);
        }
        RecordEntry* final_output = next_bounds.size() == 2 ? entries.data() : nullptr;
        pool.run(slices.size(),
                 [&](size_t i) { merge_slice(slices[i], src, dst, final_output, less); });
        std::swap(src, dst);
        bounds.swap(next_bounds);
    }
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
    size_t chunks = 1;
    if (pool != nullptr && pool->worker_count() >= 2) {
        chunks = std::min(pool->worker_count(), n / min_chunk);
    }

    GrowableArray<SortItem> items;
    GrowableArray<SortItem> scratch;
    try {
        items.set_capacity(n);
    } catch (const std::bad_alloc&) {
        sort_in_place(entries, arena);
        return;
    }
    if (chunks >= 2) {
        try {
            scratch.set_capacity(n);
        } catch (const std::bad_alloc&) {
            chunks = 1;
        }
    }
    if (chunks < 2) {
        sort_serial(entries, arena, items.data());
    } else {
        sort_parallel(entries, arena, *pool, chunks, items.data(), scratch.data());
    }
}

}  // namespace tessarune
