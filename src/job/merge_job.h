// -m and -c: the inputs merged as they are, streaming (one line of each input in memory at a
// time, no run files), and the order check of one input.
#pragma once

#include "base/expected.h"
#include "job/job_spec.h"
#include "job/sort_job.h"

namespace tessarune::job {

// -m: merges the inputs (sorted or not, as the traditional command does: the order check
// belongs to -c) into env.output; more inputs than --batch-size or the free descriptors allow
// are merged a batch at a time into temporary files first. An -o target that is also an input
// is read from a copy.
EngineResult<JobReport> run_merge_job(const JobSpec& spec, JobEnvironment& env);

// -c / -C: JobReport::disorder holds the first line below the line before it (with -u, equal
// to it too); nothing is written.
EngineResult<JobReport> run_check_job(const JobSpec& spec, JobEnvironment& env);

}  // namespace tessarune::job
