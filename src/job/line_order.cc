#include "job/line_order.h"

#include "key/key_compare.h"
#include "key/key_encoding.h"

namespace tessarune::job {

LineOrder::LineOrder(const JobSpec& spec) {
    if (spec.line_plan.fields.empty()) {
        reverse_ = spec.reverse;
        return;
    }
    plan_ = spec.line_plan;
    // Lines of equal keys are duplicates for -u whatever else they hold.
    if (spec.unique) plan_->last_resort = false;
    // With a collation the keys are those of the leading plan, and lines of equal ones are
    // compared in full.
    if (plan_->collation() != nullptr) {
        full_plan_ = *plan_;
        plan_ = format::leading_collated_plan(*plan_);
    }
}

int LineOrder::compare_tied(Bytes a, Bytes b) {
    if (!full_plan_) return 0;
    return format::compare_collated_lines(*full_plan_, a, b, tie_scratch_[0], tie_scratch_[1]);
}

int LineOrder::compare(Bytes line_a, Bytes key_a, Bytes line_b, Bytes key_b) {
    const int c = compare_keys(key_a, key_b);
    return c != 0 ? c : compare_tied(line_a, line_b);
}

Bytes LineOrder::key_of(Bytes line, ByteBuffer& key) {
    if (keys_are_lines()) return line;
    key.clear();
    if (plan_) {
        format::append_line_key(*plan_, line, key, scratch_);
        return key.span();
    }
    // A text key is prefix-free, so complementing it reverses the order of lines exactly
    // (the bare line would not: "a" before "ab" complemented stays before it).
    append_escaped(TAG_BYTES, line, key);
    for (uint8_t& b : key) b = static_cast<uint8_t>(~b);
    return key.span();
}

}  // namespace tessarune::job
