// LineOrder: what a line of -m or -c compares by. The key bytes of the job's line plan (the
// last resort included), or with no key fields the line's own bytes, which compare as they
// stand (complemented text keys when -r reverses them). Keys compare as key bytes do: unsigned
// bytes, a proper prefix first; in a locale with collation rules, lines of equal keys compare
// then as the traditional command compares them (format::compare_collated_lines).
#pragma once

#include <optional>

#include "base/growable_array.h"
#include "format/line_key.h"
#include "job/job_spec.h"

namespace tessarune::job {

class LineOrder {
public:
    explicit LineOrder(const JobSpec& spec);

    // The key of `line` (without its separator): the line itself, or bytes made into `key`
    // (its content replaced). Valid while both are.
    Bytes key_of(Bytes line, ByteBuffer& key);

    // Whether key_of gives the line itself.
    bool keys_are_lines() const { return !plan_ && !reverse_; }

    // Whether lines of equal keys may still differ in order (a collation).
    bool collated() const { return full_plan_.has_value(); }
    // The order of two lines whose keys are equal; 0 without a collation.
    int compare_tied(Bytes a, Bytes b);
    // The order of two lines and their keys.
    int compare(Bytes line_a, Bytes key_a, Bytes line_b, Bytes key_b);

private:
    std::optional<format::LineKeyPlan> plan_;  // nullopt: whole lines
    std::optional<format::LineKeyPlan> full_plan_;  // with a collation: the order of equal keys
    bool reverse_ = false;                     // whole lines, in descending order
    format::LineKeyScratch scratch_;
    format::LineKeyScratch tie_scratch_[2];
};

}  // namespace tessarune::job
