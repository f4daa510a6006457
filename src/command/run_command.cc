#include "command/run_command.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <set>
#include <span>
#include <string>

#include "command/command_line.h"
#include "command/help_text.h"
#include "command/stats_report.h"
#include "command/terminal_progress.h"
#include "base/process.h"
#include "job/cache_light_ops.h"
#include "job/cleanup_record.h"
#include "job/input_files.h"
#include "job/job_errors.h"
#include "job/output_target.h"
#include "job/recording_file_ops.h"
#include "job/sort_job.h"

namespace tessarune::command {
namespace {

constexpr int kFailure = 2;
constexpr int kDisorder = 1;

// Puts /dev/null on each of descriptors 0, 1 and 2 that is closed, and returns those. Left
// closed, the next file opened (a run, the temporary output) would take the number, and what is
// meant for standard output or error would land in it.
std::set<int> plug_standard_descriptors() {
    std::set<int> closed;
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) < 0) closed.insert(fd);
    }
    for (const int fd : closed) {
        const int null = ::open("/dev/null", O_RDWR);
        if (null >= 0 && null != fd) {
            ::dup2(null, fd);
            ::close(null);
        }
    }
    return closed;
}

CommandEnvironment read_environment() {
    CommandEnvironment env;
    if (const char* tmpdir = std::getenv("TMPDIR"); tmpdir != nullptr) env.tmpdir = tmpdir;
    if (const char* posix = std::getenv("_POSIX2_VERSION"); posix != nullptr) env.posix2_version = posix;
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0) env.descriptor_limit = limit.rlim_cur;
    const long cpus = ::sysconf(_SC_NPROCESSORS_ONLN);
    env.cpus = cpus > 0 ? static_cast<uint64_t>(cpus) : 1;
    env.physical_memory = physical_memory();
    env.locale = format::LineLocale::from_environment();
    return env;
}

// The command's messages never carry the engine's " (os error N)": the system's text is
// what the traditional command shows, and all a user needs.
std::string without_os_error(std::string message) {
    for (size_t at = message.find(" (os error "); at != std::string::npos; at = message.find(" (os error ", at)) {
        const size_t close = message.find(')', at);
        if (close == std::string::npos) break;
        message.erase(at, close + 1 - at);
    }
    return message;
}

bool write_standard_output(std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::write(1, text.data(), text.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        text.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

int fail(const std::string& message, TerminalProgress* progress = nullptr) {
    say(std::string(kProgramName) + ": " + without_os_error(message) + "\n", progress);
    return kFailure;
}

bool uses_standard_input(const job::JobSpec& spec) {
    if (spec.inputs.empty()) return true;
    for (const std::string& name : spec.inputs) {
        if (name == "-") return true;
    }
    return false;
}

bool wants_random_seed(const job::JobSpec& spec) {
    for (const format::LineKeyField& f : spec.line_plan.fields) {
        if ((f.flags & format::kRandom) != 0) return true;
    }
    return false;
}

int run(int argc, char** argv) {
    const std::set<int> closed = plug_standard_descriptors();
    Expected<CommandLine, UsageError> parsed =
        parse_command_line(std::span<const char* const>(argv + 1, argc > 0 ? static_cast<size_t>(argc - 1) : 0),
                           read_environment());
    if (!parsed) {
        std::string text = std::string(kProgramName) + ": " + parsed.error().message + "\n";
        if (parsed.error().try_help) text += "Try '" + std::string(kProgramName) + " --help' for more information.\n";
        say(text);
        return kFailure;
    }
    CommandLine& command = *parsed;
    if (command.help || command.version) {
        const std::string text = command.help ? std::string(kHelpText)
                                              : std::string(kProgramName) + " " + std::string(version()) + "\n";
        return write_standard_output(text) ? 0 : fail("write failed: standard output: " + job::system_text(errno));
    }
    job::JobSpec& spec = command.spec;
    auto ops = std::make_shared<job::RecordingFileOps>(FileOps::system());
    if (command.files0_from) {
        EngineResult<std::vector<std::string>> names = job::read_files0_from(*ops, *command.files0_from);
        if (!names) return fail(names.error().message());
        spec.inputs = std::move(*names);
    }
    if (closed.contains(0) && uses_standard_input(spec)) return fail("read failed: -: Bad file descriptor");
    if (wants_random_seed(spec)) {
        if (command.random_source) {
            EngineResult<uint64_t> seed = job::random_seed_from_file(*ops, *command.random_source);
            if (!seed) return fail(seed.error().message());
            spec.line_plan.random_seed = *seed;
        } else if (::getrandom(&spec.line_plan.random_seed, sizeof spec.line_plan.random_seed, 0) < 0) {
            return fail("cannot seed -R: " + job::system_text(errno));
        }
    }

    job::JobEnvironment env;
    const auto light = std::make_shared<job::CacheLightOps>(ops);
    env.ops = light;
    env.cache = light.get();
    env.memory = physical_memory();
    if (spec.mode != job::JobMode::Check) {
        if (!spec.output) {
            if (closed.contains(1)) return fail("write failed: standard output: Bad file descriptor");
            env.output = job::standard_output(env.ops);
        } else {
            EngineResult<std::unique_ptr<job::OutputTarget>> target = job::output_file(env.ops, *spec.output);
            if (!target) return fail(target.error().message());
            env.output = std::move(*target);
        }
    }
    TerminalProgress progress(2, command.progress);
    if (command.progress) env.progress = &progress;

    EngineResult<job::JobReport> report = job::run_job(spec, env);
    if (!report) return fail(report.error().message(), &progress);
    progress.finish();
    if (report->disorder) {
        if (!spec.check_quiet) {
            const job::Disorder& d = *report->disorder;
            say(std::string(kProgramName) + ": " + d.input_name + ":" + std::to_string(d.line_number) +
                ": disorder: " + d.line + static_cast<char>(spec.separator));
        }
        return kDisorder;
    }
    if (command.stats) say(format_stats(*report));
    return 0;
}

}  // namespace

int run_command(int argc, char** argv) {
    // First of all: from here on a stop signal removes what the job made, then kills the process.
    job::install_stop_signals();
    return run(argc, argv);
}

}  // namespace tessarune::command
