#include "merge/merger.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

#include "base/record_buffer.h"
#include "key/key_compare.h"
#include "run/run_reader.h"

namespace tessarune {
namespace {

// One source's current record, viewed in the source's memory. The views stay valid while it
// is held: its source is asked again only to replace this very record.
struct Leaf {
    // 16 key bytes behind the shared prefix (see Impl::prefix); all ones once the source is
    // exhausted, so that the windows alone usually place an exhausted source last.
    uint64_t window[2] = {~uint64_t{0}, ~uint64_t{0}};
    bool live = false;  // false once the source is exhausted
    RecordView record;

    void take_window(Bytes key, size_t offset) {
        window[0] = key_window(key, offset);
        window[1] = key_window(key, offset + 8);
    }
};

// Whether the leading `bytes` bytes (at most 8 count) of a window difference are zero.
bool leading_bytes_equal(uint64_t differ, size_t bytes) {
    return bytes == 0 || (differ >> (64 - 8 * std::min<size_t>(bytes, 8))) == 0;
}

}  // namespace

// A loser tree over the sources: node 0 holds the winner (the source whose record comes out
// next), nodes 1 .. k-1 the loser of the match played there, and source i sits at the leaf
// position k + i. Replacing the winner's record replays only its path: log2(k) matches, each
// usually decided by the 16-byte windows.
//
// The windows start behind the bytes that every held key begins with, so that a common
// prefix (the type tag, a date) does not make every match fall through to the whole keys.
// Each new record is checked against that prefix; a record that breaks it shortens the
// prefix, and every window is taken again (at most once per byte of the first prefix).
//
// Sorted runs of data that came nearly in order (logs, appended tables) hardly overlap, and
// one source then wins many times running. When a source wins three times in a row (which
// keys in random order hardly ever do), the source that comes next after it is found among
// the losers on its path (whatever comes second lost to the winner itself); while the
// winner's new records still come before that rival, every match on the path would go the
// same way, and one comparison replaces the replay.
struct Merger::Impl {
    static constexpr uint32_t kNoRival = std::numeric_limits<uint32_t>::max();

    std::vector<std::unique_ptr<MergeSource>> sources;
    TieOrder* ties = nullptr;
    std::vector<Leaf> leaves;
    std::vector<uint32_t> tree;
    // Run readers by source index (null for other sources): their usual case is inlined
    // when called as what they are.
    std::vector<RunReader*> runs;
    ByteBuffer prefix;  // the bytes every held key begins with
    uint64_t prefix_head[2] = {};  // the prefix's first 16 bytes, as key_window has them
    // While the winner keeps winning: the source that comes after it (see above).
    uint32_t rival = kNoRival;
    uint32_t repeated_wins = 0;  // by the winner, since another source last won
    enum class State { Starting, Merging, Ended, Failed } state = State::Starting;

    // The leaves' views die with the sources, but no view is read once the merge has ended.
    void end(State how) {
        state = how;
        sources.clear();
    }

    // Key bytes, then source index: the source order is the adding order among equal keys.
    // An exhausted source comes after every other.
    bool before(uint32_t a, uint32_t b) const {
        const Leaf& x = leaves[a];
        const Leaf& y = leaves[b];
        // The usual case, decided by the first window; whichever way it goes is hard to
        // predict, so it is left as a value for the caller's conditional moves.
        if (x.window[0] != y.window[0]) [[likely]] return x.window[0] < y.window[0];
        return before_slow(a, b);
    }
    bool before_slow(uint32_t a, uint32_t b) const {
        const Leaf& x = leaves[a];
        const Leaf& y = leaves[b];
        if (!x.live || !y.live) return x.live && !y.live;
        if (x.window[1] != y.window[1]) return x.window[1] < y.window[1];
        const int c = compare_keys(x.record.key, y.record.key);
        if (c != 0) return c < 0;
        if (ties != nullptr) {
            const int t = ties->compare(x.record, y.record);
            if (t != 0) return t < 0;
        }
        return a < b;
    }

    // Takes the new record that leaf i's view now shows, keeping every window behind a
    // prefix all keys share.
    void hold(size_t i) {
        Leaf& leaf = leaves[i];
        leaf.live = true;
        const Bytes key = leaf.record.key;
        if (has_prefix(key)) {
            leaf.take_window(key, prefix.size());
            return;
        }
        const auto end = key.begin() + static_cast<ptrdiff_t>(std::min(key.size(), prefix.size()));
        cut_prefix(static_cast<size_t>(std::mismatch(key.begin(), end, prefix.begin()).first - key.begin()));
        for (Leaf& other : leaves) {
            if (other.live) other.take_window(other.record.key, prefix.size());
        }
    }

    void cut_prefix(size_t length) {
        prefix.set_size(length);
        prefix_head[0] = key_window(prefix.span(), 0);
        prefix_head[1] = key_window(prefix.span(), 8);
    }

    bool has_prefix(Bytes key) const {
        const size_t shared = prefix.size();
        if (shared == 0) return true;
        if (key.size() < shared) return false;
        if (shared <= 16 && key.size() >= 16) {
            return leading_bytes_equal(load_be64(key.data()) ^ prefix_head[0], shared) &&
                   leading_bytes_equal(load_be64(key.data() + 8) ^ prefix_head[1],
                                       shared > 8 ? shared - 8 : 0);
        }
        return std::memcmp(key.data(), prefix.data(), shared) == 0;
    }

    EngineResult<NextRecord> next_of(uint32_t source, RecordView& out) {
        RunReader* run = runs[source];
        return run != nullptr ? run->next_record(out) : sources[source]->next_record(out);
    }

    // The winner of the subtree at node, recording the losers on the way.
    uint32_t build(size_t node) {
        const size_t k = leaves.size();
        if (node >= k) return static_cast<uint32_t>(node - k);
        const uint32_t left = build(2 * node);
        const uint32_t right = build(2 * node + 1);
        if (before(right, left)) {
            tree[node] = left;
            return right;
        }
        tree[node] = right;
        return left;
    }

    // Each match is decided by both windows at once, without branches: near the merge's
    // frontier the held keys often share their first window (a timestamp's minute), and a
    // branch on it would be a coin toss.
    void replay(uint32_t source) {
        const size_t k = leaves.size();
        uint32_t winner = source;
        for (size_t node = (k + source) / 2; node > 0; node /= 2) {
            const uint32_t held = tree[node];
            const Leaf& x = leaves[held];
            const Leaf& y = leaves[winner];
            const bool high_equal = x.window[0] == y.window[0];
            bool swap = (x.window[0] < y.window[0]) | (high_equal & (x.window[1] < y.window[1]));
            if (high_equal & (x.window[1] == y.window[1])) [[unlikely]] swap = before_slow(held, winner);
            const uint32_t take = 0u - static_cast<uint32_t>(swap);
            tree[node] = (winner & take) | (held & ~take);
            winner = (held & take) | (winner & ~take);
        }
        tree[0] = winner;
    }

    // The best of the losers on source's path, which is the second best of all when source
    // is the winner.
    uint32_t best_loser_on_path(uint32_t source) const {
        const size_t k = leaves.size();
        uint32_t best = kNoRival;
        for (size_t node = (k + source) / 2; node > 0; node /= 2) {
            if (best == kNoRival || before(tree[node], best)) best = tree[node];
        }
        return best;
    }

    // After the winner's record was replaced: the tree made right again.
    void settle(uint32_t source) {
        if (rival != kNoRival && before(source, rival)) return;
        replay(source);
        rival = kNoRival;
        repeated_wins = tree[0] == source ? repeated_wins + 1 : 0;
        if (repeated_wins >= 2 && leaves.size() > 1) rival = best_loser_on_path(source);
    }
};

Merger::Merger(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Merger::~Merger() = default;

EngineResult<std::unique_ptr<Merger>> new_merger(std::vector<std::unique_ptr<MergeSource>> sources, TieOrder* ties) {
    auto impl = std::make_unique<Merger::Impl>();
    Merger::Impl& m = *impl;
    m.sources = std::move(sources);
    m.ties = ties;
    const size_t k = m.sources.size();
    TR_CHECK(k <= std::numeric_limits<uint32_t>::max());
    m.leaves.resize(k);
    m.runs.resize(k);
    bool any = false;
    for (size_t i = 0; i < k; ++i) {
        m.runs[i] = dynamic_cast<RunReader*>(m.sources[i].get());
        EngineResult<NextRecord> next = m.sources[i]->next_record(m.leaves[i].record);
        if (!next.ok()) {
            m.end(Merger::Impl::State::Failed);
            return Unexpected(std::move(next).error());
        }
        if (next.value() != NextRecord::Record) continue;
        if (!any) {  // the first key is the first guess at the shared prefix; hold() shortens it
            m.prefix.append(m.leaves[i].record.key);
            m.cut_prefix(m.prefix.size());
            any = true;
        }
        m.hold(i);
    }
    if (!any) m.end(Merger::Impl::State::Ended);
    m.tree.assign(k, 0);
    if (any) m.tree[0] = m.build(1);
    return std::unique_ptr<Merger>(new Merger(std::move(impl)));
}

EngineResult<bool> Merger::merge_next(RecordView* out) {
    using State = Impl::State;
    Impl& m = *impl_;
    if (m.state == State::Failed) return Unexpected(EngineError::of_kind(ErrorKind::LostRecords));
    if (m.state == State::Ended) return false;
    if (m.state == State::Merging) {
        const uint32_t source = m.tree[0];
        // Read straight into the leaf: a view built on the stack and copied over would be
        // written in words and read back in wider loads, which stalls on every record.
        EngineResult<NextRecord> next = m.next_of(source, m.leaves[source].record);
        if (!next.ok()) {
            m.end(State::Failed);
            return Unexpected(std::move(next).error());
        }
        if (next.value() == NextRecord::Record) {
            m.hold(source);
        } else {
            m.leaves[source] = Leaf{};
        }
        m.settle(source);
    }
    const Leaf& winner = m.leaves[m.tree[0]];
    if (!winner.live) {
        m.end(State::Ended);
        return false;
    }
    m.state = State::Merging;
    *out = winner.record;
    return true;
}

}  // namespace tessarune
