// The job's inputs: named files, "-" for standard input, checked before anything is read and
// opened one at a time as their turn comes, so that any number of inputs can be named.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/expected.h"
#include "job/job_spec.h"
#include "run/file_ops.h"

namespace tessarune::job {

struct InputFile {
    std::string name;             // as given; "-" is standard input
    std::optional<uint64_t> size;  // a regular file's size
    // A regular file's device and inode, to recognise the -o target among the inputs.
    std::optional<std::pair<uint64_t, uint64_t>> identity;
};

// How a failure to open an input is worded: the sort and -m read every input ("cannot read"),
// the order check opens its one input ("open failed"), as the traditional command says.
inline constexpr std::string_view kCannotRead = "cannot read";
inline constexpr std::string_view kOpenFailed = "open failed";

// Every input, checked now: a missing, unreadable or directory input fails the job before any
// output is made ("WORDING: NAME: REASON"). No names: standard input alone.
EngineResult<std::vector<InputFile>> check_inputs(FileOps& ops, const std::vector<std::string>& names,
                                                  std::string_view wording = kCannotRead);

// The inputs' bytes, when every one is a regular file.
std::optional<uint64_t> total_size(const std::vector<InputFile>& inputs);

// Opens one input for reading (standard input for "-", which is left open when dropped).
// Errors read "WORDING: NAME: REASON".
EngineResult<std::unique_ptr<ReadableFile>> open_input(FileOps& ops, const std::string& name,
                                                       std::string_view wording = kCannotRead);

// Whether the job reads its inputs decompressed: records always, lines when asked
// (--decompress), since lines are otherwise read as the bytes they are.
inline bool decompresses_inputs(const JobSpec& spec) { return spec.format != RecordFormat::Lines || spec.decompress; }

// Opens one input as open_input does, and reads it decompressed (job/compressed_input.h) when
// the job decompresses its inputs. A failure to read its first bytes reads
// "read failed: NAME: REASON".
EngineResult<std::unique_ptr<ReadableFile>> open_job_input(FileOps& ops, const JobSpec& spec, const std::string& name,
                                                           std::string_view wording = kCannotRead);

// The names --files0-from F lists, each ended by NUL ("-": standard input), with the
// traditional command's messages for an empty list, an empty name, or "-" read from "-".
EngineResult<std::vector<std::string>> read_files0_from(FileOps& ops, const std::string& source);

// The seed of -R from --random-source FILE: the same bytes give the same order.
EngineResult<uint64_t> random_seed_from_file(FileOps& ops, const std::string& path);

}  // namespace tessarune::job
