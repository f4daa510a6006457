// LineOrder: what a line of -m or -c compares by. The key bytes of the job's line plan (the
// last resort included), or with no key fields the line's own bytes, which compare as they
// stand (complemented text keys when -r reverses them). Keys compare as key bytes do: unsigned
// bytes, a proper prefix first.
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

private:
    std::optional<format::LineKeyPlan> plan_;  // nullopt: whole lines
    bool reverse_ = false;                     // whole lines, in descending order
    format::LineKeyScratch scratch_;
};

}  // namespace tessarune::job
