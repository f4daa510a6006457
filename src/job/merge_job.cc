#include "job/merge_job.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/paths.h"
#include "format/line_reader.h"
#include "job/csv_header_plan.h"
#include "job/csv_header_row.h"
#include "job/input_files.h"
#include "job/job_errors.h"
#include "job/line_order.h"
#include "job/line_source.h"
#include "job/record_source.h"
#include "key/key_compare.h"
#include "merge/merger.h"
#include "run/spill_dir.h"

namespace tessarune::job {

namespace {

// The output goes to its target in pieces of this size.
constexpr size_t kOutputChunk = size_t{1} << 20;
constexpr uint64_t kLinesPerSlice = uint64_t{1} << 16;
// Descriptors left to the output, the temporary directory and file, and the C library.
constexpr uint64_t kReservedDescriptors = 8;
constexpr size_t kCopyChunk = size_t{1} << 20;

// Where merged lines go: each call hands over whole lines, with their separators.
class LineSink {
public:
    virtual ~LineSink() = default;
    // Takes all of `data` or fails.
    virtual EngineStatus write(Bytes data) = 0;
};

std::string reason_of(const EngineError& e) { return e.os_code() != 0 ? system_text(e.os_code()) : e.message(); }

// The job's output target, opened when the first bytes are ready.
class TargetSink final : public LineSink {
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
class FileSink final : public LineSink {
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

    // A file made by create, read through the directory it is in.
    EngineResult<std::unique_ptr<ReadableFile>> open(const std::string& path) {
        TR_CHECK(dir_ && made(path));
        EngineResult<std::unique_ptr<ReadableFile>> file = dir_->open_file(file_name_of(path));
        if (!file) return Unexpected(file_error("cannot read", path, file.error()));
        return file;
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
    bool temporary = false;  // made by the job, in its temporary directory
    bool counted = true;     // its bytes are the job's input (not a merge of earlier inputs)
};

// The lines merged go to a sink in pieces of kOutputChunk bytes (or one longer line). Lines
// get their separator; records (nullopt) have their line breaks already.
class LineWriter {
public:
    LineWriter(LineSink& sink, std::optional<uint8_t> separator) : sink_(sink), separator_(separator) {
        out_.set_capacity(kOutputChunk);
    }

    EngineStatus write(Bytes line) {
        const size_t size = line.size() + (separator_ ? 1 : 0);
        if (out_.size() + size > out_.capacity()) {
            TR_RETURN_IF_ERROR(flush());
            if (size > out_.capacity()) {
                append(line);
                return flush();
            }
        }
        append(line);
        return {};
    }

    EngineStatus flush() {
        if (out_.size() == 0) return {};
        TR_RETURN_IF_ERROR(sink_.write(out_.span()));
        out_.clear();
        return {};
    }

private:
    void append(Bytes line) {
        out_.append(line);
        if (separator_) out_.push_back(*separator_);
    }

    LineSink& sink_;
    std::optional<uint8_t> separator_;
    ByteBuffer out_;
};

// The bytes read of the job's inputs, told to the report and the progress display.
class ReadCount {
public:
    ReadCount(JobEnvironment& env, JobReport& report) : env_(env), report_(report) {}

    // Where the readers add their bytes.
    uint64_t* counter() { return &read_; }

    void tell() {
        if (read_ == told_) return;
        report_.bytes_read += read_ - told_;
        if (env_.progress != nullptr) env_.progress->read_bytes(read_ - told_);
        told_ = read_;
    }

private:
    JobEnvironment& env_;
    JobReport& report_;
    uint64_t read_ = 0;
    uint64_t told_ = 0;
};

// Between slices of lines: the bytes read told, and the caller asked whether to go on.
EngineStatus end_slice(JobEnvironment& env, ReadCount& count) {
    count.tell();
    if (env.poll != nullptr && env.poll->give_up()) return Unexpected(EngineError::of_kind(ErrorKind::GaveUp));
    return {};
}

// Lines of equal keys in the order of their collation, for the merger.
class LinesTied final : public TieOrder {
public:
    explicit LinesTied(LineOrder& order) : order_(order) {}
    int compare(const RecordView& a, const RecordView& b) override { return order_.compare_tied(a.payload, b.payload); }

private:
    LineOrder& order_;
};

// What the merges of JSON Lines or CSV records share: the CSV plan and header row, from the
// first input that has one, and which JSON keys some record had.
struct RecordMergeState {
    std::optional<CsvHeaderRow> header;
    std::vector<bool> keys_found;
    uint64_t merged = 0;  // records given by the merges
};

// The sources' records, started: a CSV input's header must be the first one's.
EngineResult<std::vector<std::unique_ptr<MergeSource>>> record_sources(const JobSpec& spec, JobEnvironment& env,
                                                                       TempArea& temp,
                                                                       const std::vector<Source>& sources,
                                                                       ReadCount& count, RecordMergeState& state,
                                                                       std::vector<RecordSource*>& started) {
    std::vector<std::unique_ptr<MergeSource>> readers;
    for (const Source& source : sources) {
        std::unique_ptr<ReadableFile> file =
            source.temporary ? TR_TRY(temp.open(source.path)) : TR_TRY(open_job_input(*env.ops, spec, source.path));
        auto reader = std::make_unique<RecordSource>(std::move(file), source.path, spec, source.counted,
                                                     source.counted ? count.counter() : nullptr, &state.keys_found);
        std::optional<CsvHeaderRow> header = TR_TRY(reader->start());
        if (header && !state.header) {
            state.header = std::move(header);
        } else if (header && header->cells != state.header->cells) {
            return Unexpected(bad_input(source.path, 1, "the header differs from the first input's"));
        }
        started.push_back(reader.get());
        readers.push_back(std::move(reader));
    }
    if (spec.format == RecordFormat::Csv && (state.header || !spec.csv_header)) {
        Expected<format::CsvKeyPlan, std::string> plan =
            plan_csv_key(state.header ? &state.header->cells : nullptr, spec.record_keys);
        if (!plan) return Unexpected(bad_input(sources.front().path, 1, plan.error()));
        for (RecordSource* reader : started) reader->use_plan(*plan);
    }
    return readers;
}

// Merges the sources into `sink` through the engine's merger, which gives lines of equal keys
// in source order, as -m wants; with -u the first of them alone. A CSV header goes first
// into the output, not into the job's temporary files.
EngineStatus merge_sources_into(const JobSpec& spec, JobEnvironment& env, TempArea& temp,
                                const std::vector<Source>& sources, ReadCount& count, LineSink& sink,
                                RecordMergeState& records, bool final) {
    if (spec.format != RecordFormat::Lines) {
        std::vector<RecordSource*> started;
        std::vector<std::unique_ptr<MergeSource>> readers =
            TR_TRY(record_sources(spec, env, temp, sources, count, records, started));
        std::unique_ptr<Merger> merger = TR_TRY(new_merger(std::move(readers), nullptr));
        LineWriter out(sink, std::nullopt);
        if (final && records.header) {
            const std::string& row = records.header->row;
            TR_RETURN_IF_ERROR(out.write(Bytes(reinterpret_cast<const uint8_t*>(row.data()), row.size())));
        }
        ByteBuffer last_key;  // -u: the key of the last record written
        bool wrote = false;
        RecordView record;
        for (uint64_t n = 1;; ++n) {
            if (!TR_TRY(merger->merge_next(&record))) break;
            records.merged += 1;
            if (spec.unique) {
                if (wrote && compare_keys(last_key.span(), record.key) == 0) continue;
                last_key.clear();
                last_key.append(record.key);
                wrote = true;
            }
            TR_RETURN_IF_ERROR(out.write(record.payload));
            if (n % kLinesPerSlice == 0) TR_RETURN_IF_ERROR(end_slice(env, count));
        }
        count.tell();
        return out.flush();
    }
    LineOrder order(spec);
    std::vector<std::unique_ptr<MergeSource>> readers;
    readers.reserve(sources.size());
    for (const Source& source : sources) {
        std::unique_ptr<ReadableFile> file =
            source.temporary ? TR_TRY(temp.open(source.path)) : TR_TRY(open_job_input(*env.ops, spec, source.path));
        readers.push_back(std::make_unique<LineSource>(std::move(file), source.path, spec.separator, order,
                                                       source.counted ? count.counter() : nullptr));
    }
    LinesTied ties(order);
    std::unique_ptr<Merger> merger = TR_TRY(new_merger(std::move(readers), order.collated() ? &ties : nullptr));
    LineWriter out(sink, spec.separator);
    ByteBuffer last_key;   // -u: the key of the last line written
    ByteBuffer last_line;  // and the line, with a collation
    bool wrote = false;
    RecordView record;
    for (uint64_t lines = 1;; ++lines) {
        if (!TR_TRY(merger->merge_next(&record))) break;
        if (spec.unique) {
            if (wrote && order.compare(last_line.span(), last_key.span(), record.payload, record.key) == 0) continue;
            last_key.clear();
            last_key.append(record.key);
            if (order.collated()) {
                last_line.clear();
                last_line.append(record.payload);
            }
            wrote = true;
        }
        TR_RETURN_IF_ERROR(out.write(record.payload));
        if (lines % kLinesPerSlice == 0) TR_RETURN_IF_ERROR(end_slice(env, count));
    }
    count.tell();
    return out.flush();
}

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
    if (progress != nullptr) progress->start_reading(total_size(inputs));
}

EngineStatus copy_file(FileOps& ops, const JobSpec& spec, const std::string& name, FileSink& to) {
    std::unique_ptr<ReadableFile> from = TR_TRY(open_job_input(ops, spec, name));
    std::vector<uint8_t> chunk(kCopyChunk);
    while (true) {
        EngineResult<size_t> got = from->read(chunk.data(), chunk.size());
        if (!got) {
            if (got.error().kind() == ErrorKind::Interrupted) continue;
            return Unexpected(file_error("read failed", name, got.error()));
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
    for (const InputFile& input : inputs) sources.push_back(Source{input.name, false, true});
    if (!spec.output) return sources;
    EngineResult<FileOps::PathStatus> target = env.ops->path_status(*spec.output, true);
    if (!target) return sources;  // nothing there yet
    std::optional<std::string> copy;
    for (size_t i = 0; i < inputs.size(); ++i) {
        if (inputs[i].identity != std::make_pair(target->device, target->inode)) continue;
        if (!copy) {
            FileSink file = TR_TRY(temp.create("input"));
            TR_RETURN_IF_ERROR(copy_file(*env.ops, spec, inputs[i].name, file));
            copy = file.path();
        }
        sources[i].path = *copy;
        sources[i].temporary = true;
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
    if (env.cache != nullptr) env.cache->keep_light(keeps_cache_light(total_size(inputs), env.memory));
    start_reading(env.progress, inputs);
    TempArea temp(env.ops, spec.tmp_dirs.empty() ? std::string("/tmp") : spec.tmp_dirs.front());
    std::vector<Source> sources = TR_TRY(merge_sources(spec, env, inputs, temp));

    ReadCount count(env, report);
    RecordMergeState records;
    // Too many to read at once: the first of them are merged into a temporary file, which
    // takes their place at the front, until the rest can be.
    const size_t width = merge_width(spec, *env.ops);
    while (sources.size() > width) {
        const auto batch_end = sources.begin() + static_cast<ptrdiff_t>(width);
        const std::vector<Source> batch(sources.begin(), batch_end);
        FileSink file = TR_TRY(temp.create("merge"));
        TR_RETURN_IF_ERROR(merge_sources_into(spec, env, temp, batch, count, file, records, false));
        TR_RETURN_IF_ERROR(file.close());
        sources.erase(sources.begin(), batch_end);
        for (const Source& source : batch) {
            // A copy of the -o target may be read again by a later batch.
            const bool needed = std::any_of(sources.begin(), sources.end(),
                                            [&](const Source& later) { return later.path == source.path; });
            if (source.temporary && !needed) temp.remove(source.path);
        }
        sources.insert(sources.begin(), Source{file.path(), true, false});
    }
    TargetSink sink(*env.output);
    TR_RETURN_IF_ERROR(merge_sources_into(spec, env, temp, sources, count, sink, records, true));
    TR_RETURN_IF_ERROR(sink.open());  // no line at all still makes the output
    if (spec.format == RecordFormat::JsonLines && records.merged != 0) {
        std::vector<std::string> missing;
        for (size_t i = 0; i < spec.record_keys.size(); ++i) {
            if (i >= records.keys_found.size() || !records.keys_found[i]) missing.push_back(spec.record_keys[i].name);
        }
        TR_RETURN_IF_ERROR(keys_never_found(missing));
    }
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

namespace {

// A record as -c reports it: its bytes without the line break that ends it.
std::string record_text(Bytes payload) {
    size_t size = payload.size();
    while (size > 0 && (payload[size - 1] == '\n' || payload[size - 1] == '\r')) --size;
    return std::string(payload.begin(), payload.begin() + static_cast<ptrdiff_t>(size));
}

// -c on JSON Lines or CSV: each record's key against the one's before it.
EngineStatus check_records(const JobSpec& spec, JobEnvironment& env, std::unique_ptr<ReadableFile> file,
                           const std::string& name, ReadCount& count, JobReport& report) {
    std::vector<bool> found;
    RecordSource source(std::move(file), name, spec, true, count.counter(), &found);
    const std::optional<CsvHeaderRow> header = TR_TRY(source.start());
    if (spec.format == RecordFormat::Csv && (header || !spec.csv_header)) {
        Expected<format::CsvKeyPlan, std::string> plan = plan_csv_key(header ? &header->cells : nullptr, spec.record_keys);
        if (!plan) return Unexpected(bad_input(name, 1, plan.error()));
        source.use_plan(*plan);
    }
    ByteBuffer before;  // the key of the record before
    RecordView record;
    uint64_t records = 0;
    for (uint64_t n = 1;; ++n) {
        if (TR_TRY(source.next_record(record)) == NextRecord::End) break;
        if (n > 1) {
            const int c = compare_keys(before.span(), record.key);
            if (c > 0 || (c == 0 && spec.unique)) {
                report.disorder = Disorder{name, source.record_line(), record_text(record.payload)};
                break;
            }
        }
        before.clear();
        before.append(record.key);
        records += 1;
        if (n % kLinesPerSlice == 0) TR_RETURN_IF_ERROR(end_slice(env, count));
    }
    count.tell();
    // A key no record has would call any input sorted.
    if (spec.format == RecordFormat::JsonLines && records != 0 && !report.disorder) {
        std::vector<std::string> missing;
        for (size_t i = 0; i < spec.record_keys.size(); ++i) {
            if (i >= found.size() || !found[i]) missing.push_back(spec.record_keys[i].name);
        }
        return keys_never_found(missing);
    }
    return {};
}

}  // namespace

// -c: each line's key against the line's before it, no merger needed.
EngineResult<JobReport> run_check_job(const JobSpec& spec, JobEnvironment& env) {
    ProgressEnd end(env.progress);
    const std::vector<InputFile> inputs = TR_TRY(check_inputs(*env.ops, spec.inputs, kOpenFailed));
    TR_CHECK(inputs.size() == 1);
    const std::string& name = inputs[0].name;
    start_reading(env.progress, inputs);
    JobReport report;
    ReadCount count(env, report);
    std::unique_ptr<ReadableFile> file = TR_TRY(open_job_input(*env.ops, spec, name, kOpenFailed));
    if (spec.format != RecordFormat::Lines) {
        TR_RETURN_IF_ERROR(check_records(spec, env, std::move(file), name, count, report));
        return report;
    }
    format::LineReader reader(*file, spec.separator);
    LineOrder order(spec);
    ByteBuffer keys[2];  // the line's key and the one before it, by turns
    ByteBuffer before;   // the line before, with a collation
    Bytes line;
    while (reader.next_line(&line)) {
        const uint64_t number = reader.line_number();
        const Bytes key = order.key_of(line, keys[number % 2]);
        if (number > 1) {
            const Bytes earlier = order.keys_are_lines() ? reader.previous() : keys[(number + 1) % 2].span();
            int c = compare_keys(earlier, key);
            if (c == 0) c = order.compare_tied(before.span(), line);
            if (c > 0 || (c == 0 && spec.unique)) {
                report.disorder = Disorder{name, number, std::string(line.begin(), line.end())};
                break;
            }
        }
        if (order.collated()) {
            before.clear();
            before.append(line);
        }
        if (number % kLinesPerSlice == 0) {
            *count.counter() = reader.bytes_read();
            TR_RETURN_IF_ERROR(end_slice(env, count));
        }
    }
    if (reader.error()) return Unexpected(file_error("read failed", name, *reader.error()));
    *count.counter() = reader.bytes_read();
    count.tell();
    return report;
}

}  // namespace tessarune::job
