#include "job/sort_job.h"

#include <algorithm>
#include <utility>

#include "base/paths.h"
#include "job/compressed_output.h"
#include "job/input_files.h"
#include "job/job_errors.h"
#include "job/merge_job.h"
#include "job/record_reading.h"
#include "job/sorted_output.h"
#include "sorter/sorter_core.h"

namespace tessarune::job {
namespace {

constexpr uint64_t kSmallInMemory = uint64_t{4} << 20;
// -S is the memory the whole job may use. Besides the records, the job reads into its input
// buffer and the engine writes runs through block buffers, about 1.5 MiB together; a share
// of -S is kept back for them (and the allocator's slack), never more than a sixteenth, so a
// small -S still sorts.
constexpr uint64_t kBuffersBeside = uint64_t{2} << 20;

uint64_t engine_bytes(uint64_t max_bytes) { return max_bytes - std::min(max_bytes / 16, kBuffersBeside); }

// A sort in a collation holds a run of tied lines on the way out (job/collated_ties.h): this
// much, whose buffers may grow to twice it, taken from the engine's share of -S where that is
// large enough. Not less for a small -S: a run cut into slices follows strxfrm's order from
// one slice to the next, which may differ from strcoll's.
constexpr uint64_t kCollatedRunBytes = uint64_t{2} << 20;
uint64_t collated_buffers(uint64_t engine_bytes) { return std::min(2 * kCollatedRunBytes, engine_bytes / 8); }

// The job's thread is the engine's only user: it holds the mutex from the first record to
// the start of the read.
class HeldCore {
public:
    explicit HeldCore(SorterCore& core) : core_(core) { core_.lock(); }
    ~HeldCore() { release(); }
    HeldCore(const HeldCore&) = delete;
    HeldCore& operator=(const HeldCore&) = delete;
    void release() {
        if (held_) core_.unlock();
        held_ = false;
    }

private:
    SorterCore& core_;
    bool held_ = true;
};

// Where the spills go: the first -T (the front door fills it in), made absolute now, so that
// the engine reports a directory it cannot make with this very path.
struct SpillBase {
    std::string given;
    std::string absolute;
};

EngineResult<SpillBase> spill_base(FileOps& ops, const JobSpec& spec) {
    SpillBase base;
    base.given = spec.tmp_dirs.empty() ? std::string("/tmp") : spec.tmp_dirs.front();
    base.absolute = base.given;
    if (base.given.empty() || base.given.front() != '/') {
        EngineResult<std::string> cwd = ops.current_dir();
        if (!cwd) return Unexpected(file_error("cannot create temporary file in", base.given, cwd.error()));
        base.absolute = join_path(*cwd, base.given);
    }
    return base;
}

// The engine names a spill directory it cannot make by its base; the job says it as the
// traditional command does.
EngineError in_job_words(EngineError e, const SpillBase& base) {
    if (e.os_code() == 0 || e.path() != base.absolute) return e;
    EngineError said = e.with_message("cannot create temporary file in '" + base.given + "': " + system_text(e.os_code()));
    said.set_path(base.given);
    return said;
}

RecordLayout layout_of(const JobSpec& spec) {
    RecordLayout layout;
    layout.separator = spec.separator;
    layout.unique = spec.unique;
    if (spec.format != RecordFormat::Lines) {
        layout.kind = RecordLayout::Kind::Payload;
    } else if (spec.line_plan.fields.empty()) {
        layout.kind = RecordLayout::Kind::LineThenSeparator;
    } else {
        layout.kind = RecordLayout::Kind::KeyedLine;
        layout.plan = &spec.line_plan;
        if (spec.line_plan.collation() != nullptr) {
            layout.collated_plan = &spec.line_plan;
            layout.collated_run_bytes = kCollatedRunBytes;
        }
    }
    return layout;
}


EngineResult<JobReport> run_sort_job(const JobSpec& spec, JobEnvironment& env) {
    if (!env.output) return Unexpected(EngineError(ErrorKind::InvalidArgument, "a sort needs an output"));
    // In a locale with collation rules the engine sorts by keys whose last part is primary:
    // about the text's size, and made from a table for most lines. The runs of equal keys are
    // put in order on the way out, in buffers taken from the engine's share.
    const bool collated = spec.format == RecordFormat::Lines && spec.line_plan.collation() != nullptr;
    const uint64_t for_engine = engine_bytes(spec.max_bytes);
    FileOps& ops = *env.ops;
    const std::vector<InputFile> inputs = TR_TRY(check_inputs(ops, spec.inputs));
    if (env.cache != nullptr) env.cache->keep_light(keeps_cache_light(total_size(inputs), env.memory));
    const SpillBase base = TR_TRY(spill_base(ops, spec));
    auto as_int = [](uint64_t n) { return static_cast<int64_t>(std::min<uint64_t>(n, INT64_MAX)); };
    const std::shared_ptr<SorterCore> core =
        TR_TRY(create_core(base.absolute,
                           as_int(for_engine - (collated ? collated_buffers(for_engine) : 0)),
                           as_int(spec.batch_size), as_int(spec.threads),
                           env.ops, BaseCheck::AtFirstSpill, PoolStart::WhenNeeded));
    SilentPoll silent;
    Poll& poll = env.poll != nullptr ? *env.poll : silent;

    HeldCore held(*core);
    if (env.progress != nullptr) env.progress->start_reading(total_size(inputs));
    RecordFeeder feeder(spec, *core, poll, env.progress);
    for (const InputFile& input : inputs) {
        const std::unique_ptr<ReadableFile> file = TR_TRY(open_job_input(ops, spec, input.name));
        EngineStatus added = feeder.add_input(input.name, *file);
        if (!added) return Unexpected(in_job_words(std::move(added).error(), base));
    }
    TR_RETURN_IF_ERROR(keys_never_found(feeder.keys_never_found()));
    StatusByte status{SorterStatus::Open};
    EngineResult<std::unique_ptr<FinalMerge>> merge = core->start_read(status, /*keep=*/false, poll);
    held.release();
    if (!merge) return Unexpected(in_job_words(std::move(merge).error(), base));

    // Opened only now: -o may name an input, and a FIFO's open waits for its reader.
    OutputTarget& output = *env.output;
    TR_RETURN_IF_ERROR(output.open());
    if (!feeder.csv_header().empty()) TR_RETURN_IF_ERROR(output.write(feeder.csv_header()));
    if (env.progress != nullptr) env.progress->start_writing(feeder.records_added());
    // A merge over runs on disk reads and decompresses while the output is written, and gains
    // from a thread of its own; a small sort held in memory does not repay starting one.
    const bool small_in_memory = core->stats().snapshot().runs_spilled == 0 && feeder.bytes_read() < kSmallInMemory;
    TR_TRY(write_sorted(std::move(merge).value(), layout_of(spec), output, poll, env.progress,
                        small_in_memory ? MergeThread::None : MergeThread::Own));
    // The merge ran on its own thread, out of the engine's sight.
    core->stats().note_read_end();
    TR_RETURN_IF_ERROR(output.commit());

    JobReport report;
    report.bytes_read = feeder.bytes_read();
    report.stats = core->stats().snapshot();
    return report;
}

}  // namespace

EngineResult<JobReport> run_job(const JobSpec& spec, JobEnvironment& env) {
    // Written compressed as its name says, where the inputs are read decompressed: lines
    // without --decompress are written as the bytes they are.
    if (env.output && spec.output && decompresses_inputs(spec)) {
        const Compression compression = compression_for_output(*spec.output);
        if (compression != Compression::None) env.output = compressed_output(std::move(env.output), compression);
    }
    switch (spec.mode) {
        case JobMode::Merge: return run_merge_job(spec, env);
        case JobMode::Check: return run_check_job(spec, env);
        case JobMode::Sort: break;
    }
    EngineResult<JobReport> report = run_sort_job(spec, env);
    if (!report && env.output) env.output->discard();
    if (env.progress != nullptr) env.progress->finish();
    return report;
}

}  // namespace tessarune::job
