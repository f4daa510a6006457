#include "merge/merger.h"

#include <utility>

#include "key/key_compare.h"

namespace tessarune {
namespace {

// One record held by the merge, viewed in its source's memory. The views stay valid while
// the entry is held: its source is asked again only for a refill of this very entry.
struct MergeEntry {
    RecordView record;
    uint64_t source = 0;
};

// Key bytes, then source index: the source order is the adding order among equal keys.
// No two entries are ever equal, since each source has at most one.
bool comes_before(const MergeEntry& a, const MergeEntry& b) {
    const int c = compare_keys(a.record.key, b.record.key);
    if (c != 0) return c < 0;
    return a.source < b.source;
}

}  // namespace

struct Merger::Impl {
    // Declared before the sources so that, even in the destructor, run files close before
    // their directory is removed.
    std::unique_ptr<SpillDir> spill_dir;
    std::vector<std::unique_ptr<MergeSource>> sources;
    std::vector<MergeEntry> heap;  // binary min-heap by comes_before
    MergeEntry current;
    bool has_current = false;
    bool at_end = false;
    bool ended = false;  // a merge step failed

    ~Impl() { drop_all(); }

    // Closes the sources first, then removes the spill directory.
    void drop_all() {
        heap.clear();
        has_current = false;
        current = MergeEntry{};
        sources.clear();
        spill_dir.reset();
    }

    void push(MergeEntry entry) {
        heap.push_back(std::move(entry));
        size_t i = heap.size() - 1;
        while (i > 0) {
            const size_t parent = (i - 1) / 2;
            if (!comes_before(heap[i], heap[parent])) break;
            std::swap(heap[i], heap[parent]);
            i = parent;
        }
    }

    void sift_down(size_t i) {
        const size_t n = heap.size();
        for (;;) {
            const size_t left = 2 * i + 1;
            if (left >= n) return;
            size_t child = left;
            if (left + 1 < n && comes_before(heap[left + 1], heap[left])) child = left + 1;
            if (!comes_before(heap[child], heap[i])) return;
            std::swap(heap[i], heap[child]);
            i = child;
        }
    }

    // Moves the heap's minimum into current; false when the heap is empty.
    bool pop_into_current() {
        if (heap.empty()) return false;
        std::swap(current, heap.front());
        has_current = true;
        if (heap.size() > 1) std::swap(heap.front(), heap.back());
        heap.pop_back();
        sift_down(0);
        return true;
    }
};

Merger::Merger(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Merger::~Merger() = default;

IoResult<std::unique_ptr<Merger>> new_merger(std::vector<std::unique_ptr<MergeSource>> sources,
                                             std::unique_ptr<SpillDir> spill_dir) {
    auto impl = std::make_unique<Merger::Impl>();
    impl->spill_dir = std::move(spill_dir);
    impl->sources = std::move(sources);
    impl->heap.reserve(impl->sources.size());
    for (size_t i = 0; i < impl->sources.size(); ++i) {
        MergeEntry entry;
        entry.source = i;
        IoResult<NextRecord> first = impl->sources[i]->next_record(entry.record);
        if (!first.ok()) {
            impl->drop_all();
            return Unexpected(std::move(first).error());
        }
        if (first.value() == NextRecord::Record) impl->push(std::move(entry));
    }
    // Nothing to merge: the spilled data can go now rather than at the first call.
    if (impl->heap.empty()) impl->drop_all();
    return std::unique_ptr<Merger>(new Merger(std::move(impl)));
}

EngineResult<bool> Merger::merge_next(RecordView* out) {
    Impl& m = *impl_;
    if (m.ended) return Unexpected(EngineError::lost_records());
    if (m.at_end) return false;

    bool have_record = false;
    if (m.has_current) {
        MergeEntry& cur = m.current;
        IoResult<NextRecord> next = m.sources[cur.source]->next_record(cur.record);
        if (!next.ok()) {
            m.ended = true;
            m.drop_all();
            return Unexpected(EngineError(std::move(next).error()));
        }
        if (next.value() == NextRecord::Record) {
            // A source whose records keep coming first costs one comparison each.
            if (!m.heap.empty() && !comes_before(cur, m.heap.front())) {
                std::swap(cur, m.heap.front());
                m.sift_down(0);
            }
            have_record = true;
        } else {
            m.has_current = false;
            cur = MergeEntry{};
        }
    }
    if (!have_record && !m.pop_into_current()) {
        m.at_end = true;
        m.drop_all();
        return false;
    }
    *out = m.current.record;
    return true;
}

}  // namespace tessarune
