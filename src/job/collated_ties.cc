#include "job/collated_ties.h"

#include <algorithm>
#include <cstring>
#include <numeric>

namespace tessarune::job {

CollatedTies::CollatedTies(FinalMerge& merge, const format::LineKeyPlan& plan, uint8_t separator, bool unique,
                           size_t held_bytes)
    : merge_(merge),
      plan_(plan),
      leading_plan_(format::leading_collated_plan(plan)),
      leading_is_key_(format::collated_part_is_last(plan)),
      leading_field_complement_(!leading_is_key_ && !plan.fields.empty() && format::is_text_field(plan.fields[0])
                                    ? ((plan.fields[0].flags & format::kReverse) != 0 ? 0xFF : 0)
                                    : -1),
      separator_(separator),
      unique_(unique),
      held_bytes_(held_bytes) {}

EngineResult<std::optional<Bytes>> CollatedTies::next() {
    for (;;) {
        while (emitted_ == order_.size()) {
            if (ended_ && !have_waiting_ && ready_ == members_.size()) return std::optional<Bytes>();
            TR_RETURN_IF_ERROR(gather());
        }
        const size_t m = order_[emitted_];
        const bool first_copy = repeats_left_ == 0;
        if (first_copy) repeats_left_ = unique_ ? 1 : members_[m].count;
        if (--repeats_left_ == 0) ++emitted_;
        if (unique_ && first_copy) {
            // Of lines the comparison equates, the first only, across slices too.
            const Bytes line = line_of(m);
            if (wrote_ && format::compare_collated_lines(plan_, last_written_.span(), line, scratch_a_, scratch_b_) == 0) {
                continue;
            }
            last_written_.clear();
            last_written_.append(line);
            wrote_ = true;
        }
        const Member& member = members_[m];
        return std::optional<Bytes>(lines_.span().subspan(member.line_at, member.line_length));
    }
}

EngineResult<void> CollatedTies::gather() {
    keep_from(ready_);
    order_.clear();
    emitted_ = 0;
    ready_ = 0;
    if (members_.empty()) {
        if (!have_waiting_ && (ended_ || !TR_TRY(merge_.merge_next(&record_)))) {
            ended_ = true;
            return {};
        }
        have_waiting_ = false;
        leading_key_.clear();
        const Bytes leading = leading_of_record(scratch_key_);
        leading_key_.append(leading);
        add_member(record_);
    }
    bool full = false;
    while (!ended_ && !have_waiting_) {
        if (lines_.size() + keys_.size() >= held_bytes_ && !std::ranges::equal(key_of(0), key_of(members_.size() - 1))) {
            full = true;
            break;
        }
        if (!TR_TRY(merge_.merge_next(&record_))) {
            ended_ = true;
            break;
        }
        if (!joins_run()) {
            have_waiting_ = true;
            break;
        }
        add_member(record_);
    }
    size_t count = members_.size();
    if (full) {
        // The lines of the last engine key may have more of their kind to come: they wait for
        // the next slice, so that no two lines of one key are ordered apart.
        const Bytes last = key_of(count - 1);
        while (count > 1 && std::ranges::equal(key_of(count - 1), last)) --count;
    }
    ready_ = count;
    order_members(count);
    return {};
}

bool CollatedTies::joins_run() { return std::ranges::equal(leading_of_record(scratch_key_), leading_key_.span()); }

Bytes CollatedTies::leading_of_record(ByteBuffer& out) {
    if (leading_is_key_) return record_.key;
    if (leading_field_complement_ >= 0) return leading_part(record_.key);
    out.clear();
    format::append_line_key(leading_plan_, record_.payload.first(record_.payload.size() - 1), out, scratch_a_);
    return out.span();
}

// A transformed key is `00` for an empty text, else `01` and the first level's weights (never
// 00 or 01), then 01 or 00: the bytes up to there are what its primary key is made of.
Bytes CollatedTies::leading_part(Bytes key) const {
    const auto c = static_cast<uint8_t>(leading_field_complement_);
    if (key.empty() || (key[0] ^ c) == 0) return key.first(key.empty() ? 0 : 1);
    size_t i = 1;
    while (i < key.size() && (key[i] ^ c) > 1) ++i;
    return key.first(i);
}

void CollatedTies::add_member(const RecordView& record) {
    if (!members_.empty()) {
        Member& last = members_.back();
        if (std::ranges::equal(record.payload, lines_.span().subspan(last.line_at, last.line_length))) {
            last.count += 1;
            return;
        }
    }
    members_.push_back(Member{lines_.size(), record.payload.size(), keys_.size(), record.key.size()});
    lines_.append(record.payload);
    keys_.append(record.key);
}

void CollatedTies::keep_from(size_t first) {
    if (first == 0) return;
    if (first == members_.size()) {
        members_.clear();
        lines_.clear();
        keys_.clear();
        return;
    }
    const size_t line_at = members_[first].line_at;
    const size_t key_at = members_[first].key_at;
    std::memmove(lines_.data(), lines_.data() + line_at, lines_.size() - line_at);
    lines_.set_size(lines_.size() - line_at);
    std::memmove(keys_.data(), keys_.data() + key_at, keys_.size() - key_at);
    keys_.set_size(keys_.size() - key_at);
    members_.erase(members_.begin(), members_.begin() + static_cast<ptrdiff_t>(first));
    for (Member& m : members_) {
        m.line_at -= line_at;
        m.key_at -= key_at;
    }
}

Bytes CollatedTies::line_of(size_t member) const {
    const Member& m = members_[member];
    return lines_.span().subspan(m.line_at, m.line_length - 1);  // without its separator
}

Bytes CollatedTies::key_of(size_t member) const {
    const Member& m = members_[member];
    return keys_.span().subspan(m.key_at, m.key_length);
}

int CollatedTies::compare(size_t a, size_t b) {
    return format::compare_collated_lines(plan_, line_of(a), line_of(b), scratch_a_, scratch_b_);
}

void CollatedTies::order_members(size_t count) {
    order_.resize(count);
    std::iota(order_.begin(), order_.end(), uint32_t{0});
    const auto before = [&](uint32_t a, uint32_t b) { return compare(a, b) < 0; };
    // Lines of one engine key are put in order among themselves; lines of different keys are
    // already, unless a text field before the key's last part differs between them (then
    // strxfrm ordered them), which a look at each such neighbour settles.
    boundaries_.clear();
    for (size_t start = 0; start < count;) {
        size_t end = start + 1;
        while (end < count && std::ranges::equal(key_of(end), key_of(start))) ++end;
        if (end - start > 1) std::stable_sort(order_.begin() + start, order_.begin() + end, before);
        if (end < count) boundaries_.push_back(end);
        start = end;
    }
    for (const size_t b : boundaries_) {
        const uint32_t x = order_[b - 1];
        const uint32_t y = order_[b];
        if (!format::same_inner_texts(plan_, line_of(x), line_of(y)) && compare(x, y) > 0) {
            std::stable_sort(order_.begin(), order_.end(), before);
            return;
        }
    }
}

}  // namespace tessarune::job
