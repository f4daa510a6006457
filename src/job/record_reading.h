// RecordFeeder: the keying loop of the sort. Each input is read into an InputBuffer and its
// records are keyed natively, as the JobSpec's format says, and added to the engine: whole
// lines in bulk, lines with key fields, JSON Lines and CSV through their RecordKeyers.
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
#include "sorter/poll.h"
#include "sorter/sorter_core.h"

namespace tessarune::job {

class RecordFeeder {
public:
    // `spec` and `core` outlive the feeder; progress may be null.
    RecordFeeder(const JobSpec& spec, SorterCore& core, Poll& poll, JobProgress* progress);

    // Reads the input to its end and adds its records. A record that cannot be read fails
    // with BadInput, "NAME:LINE: WHY". REQUIRES: the core's mutex held.
    EngineStatus add_input(const std::string& name, ReadableFile& file);

    uint64_t records_added() const { return records_; }
    uint64_t bytes_read() const { return bytes_read_; }
    // CSV: the first input's header row as read, ended by a line break; empty otherwise.
    Bytes csv_header() const { return csv_header_.span(); }

private:
    template <typename Take>
    EngineStatus feed(InputBuffer& buffer, std::string_view ends, Take take);
    EngineStatus fill(InputBuffer& buffer);
    EngineResult<size_t> take_whole_lines(Bytes all);
    EngineStatus add_whole_line(Bytes line, bool may_hold_zero);
    EngineResult<size_t> take_keyed(format::RecordKeyer& keyer, const std::string& name, uint64_t& line,
                                    Bytes all, bool at_end);
    // The CSV header of a file, read off the front of its buffer: false for an empty file.
    EngineResult<bool> read_csv_header(InputBuffer& buffer, const std::string& name, uint64_t& lines);
    std::unique_ptr<format::RecordKeyer> make_keyer() const;
    void note_bytes(uint64_t bytes);

    const JobSpec& spec_;
    SorterCore& core_;
    Poll& poll_;
    JobProgress* progress_;
    ByteBuffer key_;
    uint64_t records_ = 0;
    uint64_t bytes_read_ = 0;
    uint64_t unreported_bytes_ = 0;
    // CSV, once the first header is read: the row as read, its cells, the key plan.
    ByteBuffer csv_header_;
    std::vector<std::string> header_cells_;
    bool have_header_ = false;
    CsvHeaderPlan csv_plan_;
};

// A JSON line that the native reading declined: its key appended to `key`, or why it is
// refused.
std::optional<std::string> key_declined_json(Bytes line, ByteBuffer& key);

}  // namespace tessarune::job
