#include "job/merge_job.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/paths.h"
#include "job/input_files.h"
#include "job/job_errors.h"
#include "merge/line_merge.h"
#include "run/spill_dir.h"

namespace tessarune::job {

// --- input_files.h: the inputs as descriptors ---

InputDescriptor::~InputDescriptor() {
    if (owned_) ::close(fd_);
}

EngineResult<InputDescriptor> open_input_descriptor(const std::string& name) {
    if (name == "-") return InputDescriptor(0, false);
    while (true) {
        const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) return InputDescriptor(fd, true);
        if (errno != EINTR) return Unexpected(file_error("cannot read", name, EngineError::from_errno(errno)));
    }
}

// --- -m and -c ---

namespace {

// The output goes to its target in pieces of this size.
constexpr size_t kOutputChunk = size_t{1} << 20;
constexpr uint64_t kLinesPerSlice = uint64_t{1} << 16;
// Descriptors left to the output, the temporary directory and file, and the C library.
constexpr uint64_t kReservedDescriptors = 8;
constexpr size_t kCopyChunk = size_t{1} << 20;

// How the job's lines compare: nullopt for their own bytes, which need no key.
std::optional<format::LineKeyPlan> merge_plan(const JobSpec& spec) {
    format::LineKeyPlan plan = spec.line_plan;
    if (plan.fields.empty()) {
        if (!spec.reverse) return std::nullopt;
        // Whole lines reversed: the text key of the whole line, complemented.
        format::LineKeyField whole;
        whole.flags = format::kReverse;
        plan.fields.push_back(whole);
        plan.last_resort = false;
        return plan;
    }
    // Lines of equal keys are duplicates for -u whatever else they hold.
    if (spec.unique) plan.last_resort = false;
    return plan;
}

std::string reason_of(const EngineError& e) { return e.os_code() != 0 ? system_text(e.os_code()) : e.message(); }

// The job's output target, opened when the first bytes are ready.
class TargetSink final : public merge::LineSink {
public:
    explicit TargetSink(OutputTarget& target) : target_(target) {}

    EngineStatus write(Bytes data) override {
        TR_RETURN_IF_ERROR(open());
        return target_.write(data);
    }

    EngineStatus open() {
        if (!opened_) {
            TR_RETURN_IF_ERROR(target_.open());
            opened_ = true;
        }
        return {};
    }

private:
    OutputTarget& target_;
    bool opened_ = false;
};

// A temporary file being written; errors name it.
class FileSink final : public merge::LineSink {
public:
    FileSink(std::unique_ptr<WritableFile> file, std::string path) : file_(std::move(file)), path_(std::move(path)) {}

    EngineStatus write(Bytes data) override {
        while (!data.empty()) {
            EngineResult<size_t> put = file_->write(data.data(), data.size());
            if (!put) {
                if (put.error().kind() == ErrorKind::Interrupted) continue;
                return Unexpected(file_error("write failed", path_, put.error()));
            }
            // A write that takes nothing would take nothing again: the device is full.
            if (*put == 0) return Unexpected(file_error("write failed", path_, EngineError::from_errno(ENOSPC)));
            data = data.subspan(*put);
        }
        return {};
    }

    EngineStatus close() {
        if (auto closed = file_->close(); !closed) return Unexpected(file_error("write failed", path_, closed.error()));
        return {};
    }

    const std::string& path() const { return path_; }

private:
    std::unique_ptr<WritableFile> file_;
    std::string path_;
};

// The private directory of the job's temporary files, made when the first is needed and
// removed, with what is left in it, when dropped.
class TempArea {
public:
    TempArea(std::shared_ptr<FileOps> ops, std::string base) : ops_(std::move(ops)), base_(std::move(base)) {}

    // A new file "PREFIX-NNNNNN" in the directory.
    EngineResult<FileSink> create(const char* prefix) {
        TR_RETURN_IF_ERROR(make_dir());
        char name[64];
        std::snprintf(name, sizeof name, "%s-%06llu", prefix, static_cast<unsigned long long>(counter_++));
        const std::string path = join_path(dir_->path(), name);
        EngineResult<std::unique_ptr<WritableFile>> file = dir_->create_file(name);
        if (!file) return Unexpected(file_error("cannot create temporary file", path, file.error()));
        made_.push_back(path);
        return FileSink(std::move(file).value(), path);
    }

    bool made(const std::string& path) const { return std::find(made_.begin(), made_.end(), path) != made_.end(); }

    // Best effort: whatever stays goes with the directory.
    void remove(const std::string& path) {
        if (dir_ && made(path)) (void)dir_->remove_file(file_name_of(path));
    }

private:
    EngineStatus make_dir() {
        if (dir_) return {};
        std::string base = base_;
        if (base.empty() || base.front() != '/') {
            // The cleanup on a signal must find it wherever the process stands then.
            if (EngineResult<std::string> cwd = ops_->current_dir(); cwd) base = join_path(*cwd, base);
        }
        EngineResult<std::unique_ptr<SpillDir>> dir = create_spill_dir(ops_, base);
        if (!dir) {
            return Unexpected(dir.error().with_message("cannot create temporary file in '" + base_ +
                                                       "': " + reason_of(dir.error())));
        }
        dir_ = std::move(dir).value();
        return {};
    }

    std::shared_ptr<FileOps> ops_;
    std::string base_;
    std::unique_ptr<SpillDir> dir_;
    std::vector<std::string> made_;
    uint64_t counter_ = 0;
};

// One input of a merge: a file as the user named it, or a temporary file of the job.
struct Source {
    std::string path;
    bool counted = true;  // its bytes are the job's input (not a merge of earlier inputs)
};

class LinesRun {
public:
    LinesRun(const JobSpec& spec, JobEnvironment& env, JobReport& report)
        : plan_(merge_plan(spec)), env_(env), report_(report) {}

    // Merges (or checks) the sources into `sink` (null: nothing is written); the first line
    // out of order, when options ask for the check.
    EngineResult<std::optional<merge::LineMerge::Disorder>> run(const std::vector<Source>& sources,
                                                                 const merge::LineMerge::Options& options,
                                                                 merge::LineSink* sink) {
        std::vector<InputDescriptor> held;
        std::vector<int> fds;
        held.reserve(sources.size());
        for (const Source& source : sources) {
            held.push_back(TR_TRY(open_input_descriptor(source.path)));
            fds.push_back(held.back().fd());
        }
        merge::LineMerge merger(plan_, options, fds, sink);
        uint64_t counted = 0;
        while (true) {
            EngineResult<merge::LineMerge::Step> step = merger.run(kLinesPerSlice);
            uint64_t now = 0;
            for (size_t i = 0; i < sources.size(); ++i) {
                if (sources[i].counted) now += merger.bytes_read(i);
            }
            report_.bytes_read += now - counted;
            if (env_.progress != nullptr && now != counted) env_.progress->read_bytes(now - counted);
            counted = now;
            if (!step) {
                if (const std::optional<size_t> i = merger.failed_input()) {
                    return Unexpected(file_error("cannot read", sources[*i].path, step.error()));
                }
                return Unexpected(std::move(step).error());
            }
            if (*step == merge::LineMerge::Step::Done) return std::optional<merge::LineMerge::Disorder>();
            if (*step == merge::LineMerge::Step::OutOfOrder) return std::optional(merger.disorder());
            if (env_.poll != nullptr && env_.poll->give_up()) return Unexpected(EngineError::of_kind(ErrorKind::GaveUp));
        }
    }

private:
    std::optional<format::LineKeyPlan> plan_;
    JobEnvironment& env_;
    JobReport& report_;
};

// Ends the progress display however the job ends.
class ProgressEnd {
public:
    explicit ProgressEnd(JobProgress* progress) : progress_(progress) {}
    ~ProgressEnd() {
        if (progress_ != nullptr) progress_->finish();
    }
    ProgressEnd(const ProgressEnd&) = delete;
    ProgressEnd& operator=(const ProgressEnd&) = delete;

private:
    JobProgress* progress_;
};

void start_reading(JobProgress* progress, const std::vector<InputFile>& inputs) {
    if (progress == nullptr) return;
    uint64_t total = 0;
    for (const InputFile& input : inputs) {
        if (!input.size) {
            progress->start_reading(std::nullopt);
            return;
        }
        total += *input.size;
    }
    progress->start_reading(total);
}

EngineStatus copy_file(FileOps& ops, const std::string& name, FileSink& to) {
    std::unique_ptr<ReadableFile> from = TR_TRY(open_input(ops, name));
    std::vector<uint8_t> chunk(kCopyChunk);
    while (true) {
        EngineResult<size_t> got = from->read(chunk.data(), chunk.size());
        if (!got) {
            if (got.error().kind() == ErrorKind::Interrupted) continue;
            return Unexpected(file_error("cannot read", name, got.error()));
        }
        if (*got == 0) return to.close();
        TR_RETURN_IF_ERROR(to.write(Bytes(chunk.data(), *got)));
    }
}

// The sources of the merge: the inputs, but an input that is also the -o target (the same
// file, by device and inode) is read from a copy, since the output may replace it in place.
EngineResult<std::vector<Source>> merge_sources(const JobSpec& spec, JobEnvironment& env,
                                                const std::vector<InputFile>& inputs, TempArea& temp) {
    std::vector<Source> sources;
    for (const InputFile& input : inputs) sources.push_back(Source{input.name, true});
    if (!spec.output) return sources;
    EngineResult<FileOps::PathStatus> target = env.ops->path_status(*spec.output, true);
    if (!target) return sources;  // nothing there yet
    std::optional<std::string> copy;
    for (size_t i = 0; i < inputs.size(); ++i) {
        if (inputs[i].identity != std::make_pair(target->device, target->inode)) continue;
        if (!copy) {
            FileSink file = TR_TRY(temp.create("input"));
            TR_RETURN_IF_ERROR(copy_file(*env.ops, inputs[i].name, file));
            copy = file.path();
        }
        sources[i].path = *copy;
    }
    return sources;
}

// How many inputs one merge may read at once.
size_t merge_width(const JobSpec& spec, FileOps& ops) {
    uint64_t width = std::max<uint64_t>(spec.batch_size, 2);
    const uint64_t free = ops.free_descriptors();
    width = std::min(width, free > kReservedDescriptors + 2 ? free - kReservedDescriptors : 2);
    return static_cast<size_t>(width);
}

EngineStatus merge_job(const JobSpec& spec, JobEnvironment& env, JobReport& report) {
    const std::vector<InputFile> inputs = TR_TRY(check_inputs(*env.ops, spec.inputs));
    start_reading(env.progress, inputs);
    TempArea temp(env.ops, spec.tmp_dirs.empty() ? std::string("/tmp") : spec.tmp_dirs.front());
    std::vector<Source> sources = TR_TRY(merge_sources(spec, env, inputs, temp));

    merge::LineMerge::Options options;
    options.separator = spec.separator;
    options.unique = spec.unique;
    options.check_order = false;
    options.output_buffer = kOutputChunk;
    LinesRun lines(spec, env, report);
    // Too many to read at once: the first of them are merged into a temporary file, which
    // takes their place at the front, until the rest can be.
    const size_t width = merge_width(spec, *env.ops);
    while (sources.size() > width) {
        const std::vector<Source> batch(sources.begin(), sources.begin() + static_cast<ptrdiff_t>(width));
        FileSink file = TR_TRY(temp.create("merge"));
        (void)TR_TRY(lines.run(batch, options, &file));
        TR_RETURN_IF_ERROR(file.close());
        for (const Source& source : batch) temp.remove(source.path);
        sources.erase(sources.begin(), sources.begin() + static_cast<ptrdiff_t>(width));
        sources.insert(sources.begin(), Source{file.path(), false});
    }
    TargetSink sink(*env.output);
    (void)TR_TRY(lines.run(sources, options, &sink));
    TR_RETURN_IF_ERROR(sink.open());  // no line at all still makes the output
    return env.output->commit();
}

}  // namespace

EngineResult<JobReport> run_merge_job(const JobSpec& spec, JobEnvironment& env) {
    TR_CHECK(env.output != nullptr);
    ProgressEnd end(env.progress);
    JobReport report;
    if (EngineStatus merged = merge_job(spec, env, report); !merged) {
        env.output->discard();
        return Unexpected(std::move(merged).error());
    }
    return report;
}

EngineResult<JobReport> run_check_job(const JobSpec& spec, JobEnvironment& env) {
    ProgressEnd end(env.progress);
    const std::vector<InputFile> inputs = TR_TRY(check_inputs(*env.ops, spec.inputs));
    TR_CHECK(inputs.size() == 1);
    start_reading(env.progress, inputs);
    merge::LineMerge::Options options;
    options.separator = spec.separator;
    options.strict_order = spec.unique;
    JobReport report;
    LinesRun lines(spec, env, report);
    const std::vector<Source> sources{Source{inputs[0].name, true}};
    const std::optional<merge::LineMerge::Disorder> found = TR_TRY(lines.run(sources, options, nullptr));
    if (found) report.disorder = Disorder{inputs[0].name, found->line_number, found->line};
    return report;
}

}  // namespace tessarune::job
