// CountingFileOps: the sorter's file operations, counting the bytes written to run files
// into its stats (what was spilled, as it lies on disk). Everything else passes through.
#pragma once

#include <memory>

#include "run/file_ops.h"
#include "sorter/sorter_stats.h"

namespace tessarune {

std::shared_ptr<FileOps> counting_file_ops(std::shared_ptr<FileOps> inner,
                                           std::shared_ptr<SorterStats> stats);

}  // namespace tessarune
