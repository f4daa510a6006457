// The native command's options: its arguments and environment turned into a JobSpec, or into
// the usage error that the traditional sort command gives for them (in the C locale), plus
// the command's own options (--jsonl, --csv, --delimiter, --progress, --stats, and the
// longer names of the resources).
//
// Long options are read by the C library's getopt_long; a prefix that the traditional
// command accepts means what it means there, even where one of ours would share it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "base/expected.h"
#include "job/job_spec.h"

namespace tessarune::command {

inline constexpr std::string_view kProgramName = "tessarune";

// The version of the package, as pyproject.toml gives it.
std::string_view version();

// What the process's environment says.
struct CommandEnvironment {
    std::optional<std::string> tmpdir;          // $TMPDIR
    std::optional<std::string> posix2_version;  // $_POSIX2_VERSION
    uint64_t descriptor_limit = 1024;           // RLIMIT_NOFILE soft limit
    uint64_t cpus = 1;
    uint64_t physical_memory = 0;               // bytes, for -S N%
    // The locale of lines, where it is not the C locale's rules (format/line_locale.h).
    std::shared_ptr<const format::LineLocale> locale;
};

struct CommandLine {
    job::JobSpec spec;  // random_seed stays 0: the caller sets it
    bool help = false, version = false, stats = false, progress = false;
    std::optional<std::string> files0_from;    // --files0-from F (read later by the caller)
    std::optional<std::string> random_source;  // --random-source F
};

// Exit status 2. The message has no program name in front, but a message of two lines may
// name the program at the start of the second, as the traditional command does.
struct UsageError {
    std::string message;
    bool try_help = true;  // followed by "Try 'tessarune --help' for more information."
};

// `args` excludes argv[0]. Stops at --help or --version, as the traditional command does.
// Uses the C library's getopt state: not for several threads at once.
Expected<CommandLine, UsageError> parse_command_line(std::span<const char* const> args,
                                                     const CommandEnvironment& env);

}  // namespace tessarune::command
