// The last merge of a read, together with the spill directory its runs lie in: the sorter
// made that directory, and it goes as soon as the merge ends, fails or is dropped (after the
// merge has closed the run files).
#pragma once

#include <memory>
#include <utility>

#include "merge/merger.h"
#include "run/spill_dir.h"

namespace tessarune {

class FinalMerge {
public:
    FinalMerge(std::unique_ptr<Merger> merger, std::unique_ptr<SpillDir> dir)
        : dir_(std::move(dir)), merger_(std::move(merger)) {}

    // Merger::merge_next; at the end or on an error the spill directory is removed.
    EngineResult<bool> merge_next(RecordView* out) {
        EngineResult<bool> next = merger_->merge_next(out);
        if (!next || !*next) dir_.reset();
        return next;
    }

private:
    std::unique_ptr<SpillDir> dir_;  // declared first, so destroyed after the merge
    std::unique_ptr<Merger> merger_;
};

}  // namespace tessarune
