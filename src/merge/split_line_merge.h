// The merge of sorted regular files in two halves at once: a key from the middle of the largest
// input cuts every input where its lines reach that key (found by bisecting the file's bytes,
// since the lines are sorted), so that the lines before the cuts, merged, are exactly the first
// part of the output and the rest the second. One thread merges each half into its place in the
// output file, which both write with pwrite.
//
// The halves check the order of their own lines, and the split checks each input across its
// cut; a line out of order in the second half is reported with its number in the whole input.
// Output from both halves may be written before a disorder stops them.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "base/expected.h"
#include "format/line_key.h"
#include "format/line_reader.h"
#include "merge/line_merge.h"

namespace tessarune::merge {

struct LineMergeSplit {
    std::vector<uint64_t> cuts;       // per input: where its second half begins
    std::vector<uint64_t> sizes;      // per input: its size
    uint64_t second_output_at = 0;    // where the second half's output begins, from the first's
    uint64_t output_size = 0;         // the whole output's size
};

// A split of the inputs (regular files read from offset 0 to `sizes`), or nullopt when a split
// would not help or an input is found out of order at its cut (then the merge goes in one piece,
// which reports the disorder where it is).
EngineResult<std::optional<LineMergeSplit>> split_line_merge(const std::optional<format::LineKeyPlan>& plan,
                                                         uint8_t separator, const std::vector<int>& fds,
                                                         const std::vector<uint64_t>& sizes);

class TwoWayLineMerge {
public:
    // Writes the output at output_at and after in output_fd.
    TwoWayLineMerge(const std::optional<format::LineKeyPlan>& plan, LineMerge::Options options,
                    const std::vector<int>& fds, int output_fd, uint64_t output_at, LineMergeSplit split);
    ~TwoWayLineMerge();  // stops the second half's thread and waits for it
    TwoWayLineMerge(const TwoWayLineMerge&) = delete;
    TwoWayLineMerge& operator=(const TwoWayLineMerge&) = delete;

    // As LineMerge::run: the first half goes on on the calling thread; once it is done, each
    // call waits a little for the second.
    EngineResult<LineMerge::Step> run(uint64_t max_lines);
    const LineMerge::Disorder& disorder() const { return disorder_; }
    std::optional<size_t> failed_input() const { return failed_input_; }

private:
    EngineResult<LineMerge::Step> finish(EngineResult<LineMerge::Step> step, const LineMerge& half, bool second);

    LineMergeSplit split_;
    std::vector<int> fds_;
    uint8_t separator_;
    std::unique_ptr<LineMerge> first_;
    std::unique_ptr<LineMerge> second_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> second_finished_{false};
    std::optional<EngineResult<LineMerge::Step>> second_result_;  // set by the thread before second_finished_
    bool first_done_ = false;
    LineMerge::Disorder disorder_;
    std::optional<size_t> failed_input_;
    std::thread thread_;
};

}  // namespace tessarune::merge
