// The summary that --stats prints to standard error once the job is done.
#pragma once

#include <string>

#include "job/sort_job.h"

namespace tessarune::command {

std::string format_stats(const job::JobReport& report);

}  // namespace tessarune::command
