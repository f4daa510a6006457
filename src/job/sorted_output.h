// The sorted records on their way out: the final merge packs the records into chunks, on a
// second thread while the job's thread writes the chunks to the output target, or on the
// job's thread alone for a small sort.
#pragma once

#include <cstdint>
#include <memory>

#include "base/expected.h"
#include "format/line_key.h"
#include "job/job_progress.h"
#include "job/output_target.h"
#include "sorter/final_merge.h"
#include "sorter/poll.h"

namespace tessarune::job {

// How a record becomes output bytes.
struct RecordLayout {
    enum class Kind : uint8_t {
        LineThenSeparator,  // whole lines: the payload, then the separator
        KeyedLine,          // lines with key fields: format::append_keyed_line
        Payload,            // JSON Lines, CSV: the payload carries its own line ending
    };
    Kind kind = Kind::Payload;
    uint8_t separator = '\n';
    const format::LineKeyPlan* plan = nullptr;  // KeyedLine
    bool unique = false;  // a record whose key equals the one written before is dropped
    // KeyedLine, with a collation: the plan whose comparison puts runs of equal keys in order
    // (job/collated_ties.h); unique then drops lines that it equates.
    const format::LineKeyPlan* collated_plan = nullptr;
    size_t collated_run_bytes = 0;  // the lines of such a run held at once
};

// Where the merge runs: on a thread of its own while the job's thread writes, or on the
// job's thread between its writes.
enum class MergeThread : uint8_t { Own, None };

// Writes every record of the merge to `output`, which is open. The poll is asked between
// chunks: giving up ends the write with GaveUp. Returns the records written. However it ends,
// the merge and its spill directory are gone when it returns.
EngineResult<uint64_t> write_sorted(std::unique_ptr<FinalMerge> merge, const RecordLayout& layout,
                                    OutputTarget& output, Poll& poll, JobProgress* progress,
                                    MergeThread thread = MergeThread::Own);

}  // namespace tessarune::job
