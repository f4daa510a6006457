// CollatedTies: the lines of a sort in a locale's collation, put in the traditional order on
// the way out.
//
// The engine sorts by keys whose collated parts come from strxfrm, the last of them primary
// (format/collation.h). That order is right but for lines whose keys of the leading plan
// (format::leading_collated_plan: up to the first collated part, primary) are equal: such a
// run is gathered, checked line by line with the traditional comparison and, where it is out
// of order, stably sorted by it (lines it equates keep the order they came in); under -u only
// the first of each equal kind is kept. Most runs are a line or a few long.
//
// A run is held up to a bound; a longer one (lines that share a leading field, as in -k2,2
// on a field of few values) goes out in slices of about that size, each put in order, cut only
// between lines of different engine keys. The slices then follow the engine's order, which
// differs from the traditional one only where strxfrm and strcoll disagree. A stretch of one
// repeated line is held once, with a count.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "base/expected.h"
#include "base/growable_array.h"
#include "format/line_key.h"
#include "sorter/final_merge.h"

namespace tessarune::job {

class CollatedTies {
public:
    // `plan` is the sort's plan, with a collation; `unique`: -u. Lines are the records'
    // payloads, each ending with `separator`. `held_bytes`: the bound on a run held at once.
    CollatedTies(FinalMerge& merge, const format::LineKeyPlan& plan, uint8_t separator, bool unique,
                 size_t held_bytes);

    // The next line to write, its separator included, valid until the next call; nullopt at
    // the end.
    EngineResult<std::optional<Bytes>> next();

private:
    struct Member {
        size_t line_at;
        size_t line_length;
        size_t key_at;  // its engine key, in keys_
        size_t key_length;
        uint64_t count = 1;
    };

    EngineResult<void> gather();
    // Takes the merge's current record into the run, or says it starts another run.
    bool joins_run();
    void add_member(const RecordView& record);
    // Moves the members from `first` on to the front, as the start of the next slice.
    void keep_from(size_t first);
    void order_members(size_t count);
    Bytes line_of(size_t member) const;
    Bytes key_of(size_t member) const;
    // The part of an engine key that decides its leading key (see leading_field_complement_).
    Bytes leading_part(Bytes key) const;
    // The leading key of the merge's current record, or the part of its key that decides it.
    Bytes leading_of_record(ByteBuffer& out);
    int compare(size_t a, size_t b);

    FinalMerge& merge_;
    const format::LineKeyPlan& plan_;
    const format::LineKeyPlan leading_plan_;
    const bool leading_is_key_;  // the leading plan's keys are the engine's
    // Else, when the plan's first field is its first text: its leading key can be read off the
    // engine's key, whose first part is that field's transformed key. -1: it cannot.
    const int leading_field_complement_;
    const uint8_t separator_;
    const bool unique_;
    const size_t held_bytes_;

    RecordView record_;
    bool have_waiting_ = false;  // record_ is the first of the next run
    bool ended_ = false;
    bool run_goes_on_ = false;   // the members held continue the run of the slice written before

    ByteBuffer leading_key_;  // of the run being gathered
    ByteBuffer scratch_key_;
    ByteBuffer lines_;
    ByteBuffer keys_;
    std::vector<Member> members_;
    std::vector<uint32_t> order_;
    std::vector<size_t> boundaries_;  // where one engine key ends in order_
    size_t ready_ = 0;         // members of the slice being written (the rest wait for the next)
    size_t emitted_ = 0;       // entries of order_ written
    uint64_t repeats_left_ = 0;  // copies of order_[emitted_] still to write
    ByteBuffer last_written_;  // -u: the last line written, without its separator
    bool wrote_ = false;
    format::LineKeyScratch scratch_a_;
    format::LineKeyScratch scratch_b_;
};

}  // namespace tessarune::job
