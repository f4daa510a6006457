#include "job/collated_ties.h"

#include <algorithm>
#include <numeric>

#include "key/key_compare.h"

namespace tessarune::job {

CollatedTies::CollatedTies(FinalMerge& merge, const format::LineKeyPlan& exact, uint8_t separator, bool unique)
    : merge_(merge), exact_(exact), separator_(separator), unique_(unique) {}

EngineResult<std::optional<Bytes>> CollatedTies::next() {
    while (emitted_ == order_.size()) {
        if (ended_) return std::optional<Bytes>();
        TR_RETURN_IF_ERROR(gather());
    }
    const Member& m = members_[order_[emitted_]];
    if (--repeats_left_ == 0 && ++emitted_ < order_.size()) {
        repeats_left_ = unique_ ? 1 : members_[order_[emitted_]].count;
    }
    return std::optional<Bytes>(lines_.span().subspan(m.line_at, m.line_length));
}

EngineResult<void> CollatedTies::gather() {
    key_.clear();
    lines_.clear();
    members_.clear();
    order_.clear();
    emitted_ = 0;
    if (!have_waiting_ && !TR_TRY(merge_.merge_next(&record_))) {
        ended_ = true;
        return {};
    }
    key_.append(record_.key);
    add_member(record_.payload);
    for (;;) {
        if (!TR_TRY(merge_.merge_next(&record_))) {
            ended_ = true;
            have_waiting_ = false;
            break;
        }
        if (!std::ranges::equal(record_.key, key_.span())) {
            have_waiting_ = true;
            break;
        }
        add_member(record_.payload);
    }
    order_members();
    repeats_left_ = unique_ ? 1 : members_[order_[0]].count;
    return {};
}

void CollatedTies::add_member(Bytes line) {
    if (!members_.empty()) {
        Member& last = members_.back();
        if (std::ranges::equal(line, lines_.span().subspan(last.line_at, last.line_length))) {
            last.count += 1;
            return;
        }
    }
    members_.push_back(Member{lines_.size(), line.size()});
    lines_.append(line);
}

void CollatedTies::order_members() {
    order_.resize(members_.size());
    std::iota(order_.begin(), order_.end(), uint32_t{0});
    if (members_.size() == 1) return;
    exact_keys_.clear();
    for (Member& m : members_) {
        // The line without its separator, as it was keyed.
        const size_t length = m.line_length - (m.line_length != 0 && lines_[m.line_at + m.line_length - 1] == separator_);
        m.key_at = exact_keys_.size();
        format::append_line_key(exact_, lines_.span().subspan(m.line_at, length), exact_keys_, scratch_);
        m.key_length = exact_keys_.size() - m.key_at;
    }
    const auto key_of = [&](uint32_t i) { return exact_keys_.span().subspan(members_[i].key_at, members_[i].key_length); };
    std::stable_sort(order_.begin(), order_.end(),
                     [&](uint32_t a, uint32_t b) { return compare_keys(key_of(a), key_of(b)) < 0; });
    if (unique_) {
        const auto end = std::unique(order_.begin(), order_.end(), [&](uint32_t a, uint32_t b) {
            return std::ranges::equal(key_of(a), key_of(b));
        });
        order_.erase(end, order_.end());
    }
}

}  // namespace tessarune::job
