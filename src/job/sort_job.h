// run_job: the whole job of sorting files, for every front door: reads the inputs in large
// buffers, keys each record natively into the engine (or merges or checks them as -m and -c
// say), and writes the output target.
//
// Failures are EngineErrors whose messages are complete sentences without the program's name
// ("cannot read: FILE: REASON", "FILE:LINE: not JSON: ...", "write failed: NAME: REASON",
// "cannot create temporary file in 'DIR': REASON"); a record that cannot be read is kind
// BadInput. Nothing of a failed job is left behind: the temporary output and the spill
// directory are removed before run_job returns.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "base/expected.h"
#include "job/cache_light_ops.h"
#include "job/job_progress.h"
#include "job/job_spec.h"
#include "job/output_target.h"
#include "run/file_ops.h"
#include "sorter/poll.h"
#include "sorter/sorter_stats.h"

namespace tessarune::job {

// A line out of order, as -c reports it: "NAME:NUMBER: disorder: LINE".
struct Disorder {
    std::string input_name;
    uint64_t line_number = 0;  // from 1
    std::string line;          // without its separator
};

struct JobReport {
    uint64_t bytes_read = 0;
    StatsSnapshot stats;              // the sort's engine counters (Sort only)
    std::optional<Disorder> disorder;  // Check: the first line out of order
};

struct JobEnvironment {
    std::shared_ptr<FileOps> ops = FileOps::system();
    Poll* poll = nullptr;              // asked while the engine waits or merges; null: never give up
    JobProgress* progress = nullptr;   // null: nothing is shown
    // Where the output goes: made by the front door (standard output, output_file(), or a
    // Python file object behind the interface); null for Check.
    std::unique_ptr<OutputTarget> output;
    // The switch of `ops` that keeps the page cache light, when ops has one (the job turns it
    // on for input large against `memory`, the machine's bytes; 0: unknown, left off).
    CacheLightOps* cache = nullptr;
    uint64_t memory = 0;
};

EngineResult<JobReport> run_job(const JobSpec& spec, JobEnvironment& env);

}  // namespace tessarune::job
