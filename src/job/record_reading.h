// RecordFeeder: the keying loop of the sort. Each input is read into an InputBuffer and its
// records are keyed natively, as the JobSpec's format says, and added to the engine: whole
// lines in bulk, lines with key fields, JSON Lines and CSV through their RecordKeyers. The
// records go to a RecordSink: the sort's engine, or the cluster's key ranges.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/expected.h"
#include "base/growable_array.h"
#include "format/record_keyer.h"
#include "job/csv_header_plan.h"
#include "job/input_buffer.h"
#include "job/job_progress.h"
#include "job/job_spec.h"
#include "job/record_sink.h"
#include "sorter/poll.h"
#include "sorter/sorter_core.h"

namespace tessarune::job {

class RecordFeeder {
public:
    // `spec` and `core` outlive the feeder; progress may be null.
    RecordFeeder(const JobSpec& spec, SorterCore& core, Poll& poll, JobProgress* progress);
    // `spec` and `sink` outlive the feeder; progress may be null.
    RecordFeeder(const JobSpec& spec, RecordSink& sink, JobProgress* progress);
    RecordFeeder(const RecordFeeder&) = delete;
    RecordFeeder& operator=(const RecordFeeder&) = delete;

    // Reads the input to its end and adds its records. A record that cannot be read fails
    // with BadInput, "NAME:LINE: WHY". REQUIRES: the core's mutex held, with a core.
    // CSV without `csv_header`: the input holds records alone, keyed by the header expected
    // or read before.
    EngineStatus add_input(const std::string& name, ReadableFile& file, bool csv_header = true);
    // CSV: reads the header row off the front of a file, as the first input's, and nothing
    // else; false for an empty file.
    EngineResult<bool> read_header_of(const std::string& name, ReadableFile& file);
    const std::vector<std::string>& csv_header_cells() const { return header_cells_; }

    uint64_t records_added() const { return records_; }
    // JSON Lines: the keys (as written) that no record read so far had, even as null: a path
    // mistyped. None before any record.
    std::vector<std::string> keys_never_found() const;
    const std::vector<bool>& keys_found() const { return keys_found_; }
    uint64_t bytes_read() const { return bytes_read_; }
    // CSV: the first input's header row as read, ended by a line break; empty otherwise.
    Bytes csv_header() const { return csv_header_.span(); }
    // CSV: takes `cells` as the first input's header, planning the key by them, so that
    // every input must start with them. An error names `name`, line 1.
    EngineStatus expect_csv_header(std::vector<std::string> cells, const std::string& name);

private:
    template <typename Take>
    EngineStatus feed(InputBuffer& buffer, std::string_view ends, Take take);
    EngineStatus fill(InputBuffer& buffer);
    EngineResult<size_t> take_whole_lines(Bytes all);
    EngineResult<size_t> take_each_line(Bytes all);
    EngineStatus add_whole_line(Bytes line, bool may_hold_zero);
    EngineResult<size_t> take_keyed(format::RecordKeyer& keyer, const std::string& name, uint64_t& line,
                                    Bytes all, bool at_end);
    // The CSV header of a file, read off the front of its buffer: false for an empty file.
    EngineResult<bool> read_csv_header(InputBuffer& buffer, const std::string& name, uint64_t& lines);
    std::unique_ptr<format::RecordKeyer> make_keyer() const;
    void note_bytes(uint64_t bytes);

    const JobSpec& spec_;
    std::optional<CoreSink> own_sink_;
    RecordSink& sink_;
    SorterCore* core_;  // the sink's engine, for whole lines in bulk; null without one
    JobProgress* progress_;
    ByteBuffer key_;
    uint64_t records_ = 0;
    uint64_t bytes_read_ = 0;
    uint64_t unreported_bytes_ = 0;
    // CSV, once the first header is read: the row as read, its cells, the key plan.
    ByteBuffer csv_header_;
    std::vector<std::string> header_cells_;
    bool have_header_ = false;
    format::CsvKeyPlan csv_plan_;
    std::vector<bool> keys_found_;  // JSON Lines: per key, whether any record had it
};

// A JSON line that the native reading declined: its key appended to `key`, or why it is
// refused.
std::optional<std::string> key_declined_json(Bytes line, ByteBuffer& key);

}  // namespace tessarune::job
