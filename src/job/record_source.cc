#include "job/record_source.h"

#include <utility>

#include "format/record_keyers.h"
#include "job/job_errors.h"

namespace tessarune::job {

RecordSource::RecordSource(std::unique_ptr<ReadableFile> file, std::string name, const JobSpec& spec,
                           bool has_header, uint64_t* counted, std::vector<bool>* found)
    : file_(std::move(file)),
      name_(std::move(name)),
      spec_(spec),
      has_header_(has_header && spec.format == RecordFormat::Csv && spec.csv_header),
      counted_(counted),
      found_(found),
      buffer_(*file_, name_) {}

EngineStatus RecordSource::fill() {
    buffer_.drop(taken_);
    taken_ = 0;
    EngineStatus filled = buffer_.fill();
    if (counted_ != nullptr) *counted_ += buffer_.take_new_bytes();
    return filled;
}

EngineResult<std::optional<CsvHeaderRow>> RecordSource::start() {
    EngineStatus skipped = buffer_.skip_bom();
    if (counted_ != nullptr) *counted_ += buffer_.take_new_bytes();
    TR_RETURN_IF_ERROR(std::move(skipped));
    if (!has_header_) return std::optional<CsvHeaderRow>();
    EngineResult<std::optional<CsvHeaderRow>> header = take_csv_header(buffer_, spec_.csv_delimiter, name_);
    if (counted_ != nullptr) *counted_ += buffer_.take_new_bytes();
    if (header && *header) lines_ = (*header)->lines;
    return header;
}

EngineResult<NextRecord> RecordSource::next_record(RecordView& out) {
    if (!keyer_) {
        keyer_ = spec_.format == RecordFormat::Csv ? format::make_csv_keyer(spec_.csv_delimiter, plan_)
                                                   : format::make_json_keyer(spec_.record_keys);
    }
    for (;;) {
        if (buffer_.at_end()) buffer_.end_last_record(spec_.format == RecordFormat::Csv ? "\n\r" : "\n");
        const Bytes rest = buffer_.data().subspan(taken_);
        if (rest.empty() && buffer_.at_end()) {
            const std::vector<bool>* found = keyer_->keys_found();
            if (found_ != nullptr && found != nullptr) {
                found_->resize(found->size(), false);
                for (size_t i = 0; i < found->size(); ++i) (*found_)[i] = (*found_)[i] || (*found)[i];
            }
            return NextRecord::End;
        }
        key_.clear();
        format::KeyedRecord r = rest.empty() ? format::KeyedRecord{} : keyer_->next(rest, buffer_.at_end(), key_);
        switch (r.step) {
            case format::RecordStep::NeedMore:
                TR_CHECK(!buffer_.at_end());
                TR_RETURN_IF_ERROR(fill());
                continue;
            case format::RecordStep::Skipped:
                taken_ += r.length;
                lines_ += r.lines;
                continue;
            case format::RecordStep::Bad: return Unexpected(bad_input(name_, lines_ + r.lines + 1, r.error));
            case format::RecordStep::Declined: return Unexpected(bad_input(name_, lines_ + 1, "not JSON"));
            case format::RecordStep::Record: break;
        }
        if (complements_whole_keys(spec_)) {
            for (uint8_t& b : key_) b = static_cast<uint8_t>(~b);
        }
        out.key = key_.span();
        out.payload = r.payload;
        out.payload_in_key = false;
        taken_ += r.length;
        record_line_ = lines_ + 1;
        lines_ += r.lines;
        return NextRecord::Record;
    }
}

}  // namespace tessarune::job
