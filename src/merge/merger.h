// Merger: the k-way merge of sorted sources into one sequence in key order; among equal
// keys, records come out in source order (all of source 0's, then source 1's, ...), or first
// in the order of a TieOrder when one is given.
//
// The sources are closed as soon as the merge ends or fails. After a failure every call
// gives LostRecords.
//
// Thread safety: none; one thread at a time, which may change between calls.
#pragma once

#include <memory>
#include <vector>

#include "base/expected.h"
#include "base/merge_source.h"

namespace tessarune {

// Orders records of equal keys, for sources whose keys are coarser than their order (lines in
// a locale's collation, whose keys end with a primary collation key). <0, 0, >0.
class TieOrder {
public:
    virtual ~TieOrder() = default;
    virtual int compare(const RecordView& a, const RecordView& b) = 0;
};

class Merger {
public:
    ~Merger();

    // A record (true, *out viewing it), the end (false), or an error (later calls give
    // LostRecords). The views stay valid until the next merge_next or the
    // Merger's destruction.
    EngineResult<bool> merge_next(RecordView* out);

private:
    struct Impl;
    friend EngineResult<std::unique_ptr<Merger>> new_merger(std::vector<std::unique_ptr<MergeSource>>, TieOrder*);
    explicit Merger(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

// Reads the first record of every source, in order. On an error every source is dropped
// and the error returned. `ties`, if given, outlives the merger.
EngineResult<std::unique_ptr<Merger>> new_merger(std::vector<std::unique_ptr<MergeSource>> sources,
                                                 TieOrder* ties = nullptr);

}  // namespace tessarune
