// RecordSource: the JSON Lines or CSV records of one input of -m, or of -c, keyed as the sort
// keys them, as a source of the engine's merger. Each record's payload is its bytes with its
// line break, as the input has them.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/file_handles.h"
#include "base/growable_array.h"
#include "base/merge_source.h"
#include "format/csv_key.h"
#include "format/record_keyer.h"
#include "job/csv_header_row.h"
#include "job/input_buffer.h"
#include "job/job_spec.h"

namespace tessarune::job {

class RecordSource final : public MergeSource {
public:
    // `spec` outlives the source. `counted`, if not null, has every byte read added to it.
    // `has_header`: a CSV input that starts with its header row (the job's temporary files do
    // not). `found`, if not null, is told at the end which JSON keys some record had (or'ed in).
    RecordSource(std::unique_ptr<ReadableFile> file, std::string name, const JobSpec& spec, bool has_header,
                 uint64_t* counted, std::vector<bool>* found = nullptr);

    // Reads what comes before the records: a byte order mark, and a CSV input's header,
    // nullopt for an empty input or one without a header. Call once, before next_record.
    EngineResult<std::optional<CsvHeaderRow>> start();
    // CSV: the plan every input's records are keyed by, from the first input's header.
    void use_plan(const format::CsvKeyPlan& plan) { plan_ = plan; }

    EngineResult<NextRecord> next_record(RecordView& out) override;

    // The line the last record given starts on, from 1.
    uint64_t record_line() const { return record_line_; }

private:
    EngineStatus fill();

    std::unique_ptr<ReadableFile> file_;
    std::string name_;
    const JobSpec& spec_;
    bool has_header_;
    uint64_t* counted_;
    std::vector<bool>* found_;
    InputBuffer buffer_;
    size_t taken_ = 0;    // bytes of the buffer's front already given as records
    uint64_t lines_ = 0;  // lines before the buffer's unread part
    uint64_t record_line_ = 0;
    format::CsvKeyPlan plan_;
    std::unique_ptr<format::RecordKeyer> keyer_;
    ByteBuffer key_;
};

}  // namespace tessarune::job
