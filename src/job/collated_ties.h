// CollatedTies: the lines of a sort by primary collation keys (format/collation.h), put in
// their exact order on the way out.
//
// Primary keys are never contrary to the exact order, so only a run of records with equal
// primary keys can be out of it: such a run is gathered, keyed exactly and stably sorted
// (records the locale equates keep the order they came in), and under -u only the first of
// each exactly equal kind is kept. Most runs are one record long and pass straight through.
//
// A run holds each stretch of one repeated line once, with a count: a file of one line over and
// over takes the memory of that line. Lines of one primary key that alternate (lines that
// differ only in case, accents or punctuation) are held one by one, since their order is known
// only once all of them are.
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
    // `exact` is the plan of the sort with exact text keys; `unique`: -u. Lines are the records'
    // payloads, each ending with `separator`.
    CollatedTies(FinalMerge& merge, const format::LineKeyPlan& exact, uint8_t separator, bool unique);

    // The next line to write, its separator included, valid until the next call; nullopt at
    // the end.
    EngineResult<std::optional<Bytes>> next();

private:
    struct Member {
        size_t line_at;
        size_t line_length;
        size_t key_at = 0;
        size_t key_length = 0;
        uint64_t count = 1;
    };

    EngineResult<void> gather();
    void add_member(Bytes line);
    void order_members();

    FinalMerge& merge_;
    const format::LineKeyPlan& exact_;
    uint8_t separator_;
    bool unique_;

    RecordView record_;
    bool have_waiting_ = false;  // record_ is the first of the next run
    bool ended_ = false;

    // The run being written: its key, its distinct lines and their exact keys.
    ByteBuffer key_;
    ByteBuffer lines_;
    ByteBuffer exact_keys_;
    std::vector<Member> members_;
    std::vector<uint32_t> order_;
    size_t emitted_ = 0;       // members of order_ written
    uint64_t repeats_left_ = 0;  // copies of order_[emitted_] still to write
    format::LineKeyScratch scratch_;
};

}  // namespace tessarune::job
