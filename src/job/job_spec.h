// JobSpec: one run of the job of sorting files, as a front door (the command's main, the
// Python module) binds it. Every field has the meaning of the command's option named beside it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "format/line_key.h"
#include "format/record_key.h"

namespace tessarune::job {

enum class RecordFormat : uint8_t { Lines, JsonLines, Csv };

enum class JobMode : uint8_t {
    Sort,   // the default: sort every input into the output
    Merge,  // -m: merge the inputs as they are, streaming
    Check,  // -c / -C: report (or only signal) the first line out of order
};

struct JobSpec {
    // --- what the records are and how they compare ---
    RecordFormat format = RecordFormat::Lines;
    // Lines: the key fields, one per -k, each with its own flags (the global options already
    // folded into fields that have none of their own). No fields: the whole line, compared as
    // bytes (with -r reversed).
    format::LineKeyPlan line_plan;
    bool reverse = false;         // the global -r: reverses the last-resort comparison too
    bool stable = false;          // -s: no last-resort comparison of whole lines
    bool unique = false;          // -u: of lines with equal keys, the first only
    uint8_t separator = '\n';     // -z: '\0'
    uint8_t csv_delimiter = ',';  // CSV: --delimiter
    // JSON Lines and CSV: the keys in order, each with its type, direction and nulls (the
    // global -n and -r already folded in). None: the whole value, or every column as text.
    std::vector<format::RecordKey> record_keys;
    bool csv_header = true;  // false: --no-header, the CSV inputs hold records alone
    // Inputs compressed with gzip, zstd, bzip2 or xz are read decompressed: always for JSON
    // Lines and CSV, for lines only when asked (--decompress), since lines are read as bytes.
    bool decompress = false;

    // --- what is done ---
    JobMode mode = JobMode::Sort;
    bool check_quiet = false;  // -C, --check=quiet/silent: no report of the disorder

    // --- where from and where to ---
    std::vector<std::string> inputs;    // "-" is standard input; empty: standard input alone
    std::optional<std::string> output;  // -o; nullopt: standard output

    // --- resources ---
    uint64_t max_bytes = uint64_t{256} << 20;  // -S, at least 64 KiB
    uint64_t threads = 1;                      // --parallel
    uint64_t batch_size = 64;                  // --batch-size: runs or inputs merged at once
    // -T in order; empty: $TMPDIR, else /tmp (the front door fills it in). Only a spill or a
    // -m batch needs one: a directory that cannot be used is an error only then.
    std::vector<std::string> tmp_dirs;
};

// Whether a record's whole key is complemented to reverse it: a whole JSON value or CSV row
// under -r. Lines reverse by their plan, named record keys each by its own direction.
inline bool complements_whole_keys(const JobSpec& spec) {
    return spec.reverse && spec.format != RecordFormat::Lines && spec.record_keys.empty();
}

}  // namespace tessarune::job
