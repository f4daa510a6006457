#include "job/line_order.h"

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
