#include <string>
#include <utility>
#include <vector>

#include "format/csv_key.h"
#include "format/csv_scanner.h"
#include "format/record_keyers.h"

namespace tessarune::format {
namespace {

class CsvRecordKeyer final : public RecordKeyer {
public:
    CsvRecordKeyer(uint8_t delimiter, CsvKeyPlan plan) : scanner_(delimiter), plan_(std::move(plan)) {}

    KeyedRecord next(Bytes input, bool at_end, ByteBuffer& key) override {
        KeyedRecord r;
        switch (scanner_.next(input, !at_end)) {
            case CsvScanner::Step::NeedMore:
            case CsvScanner::Step::End:
                return r;
            case CsvScanner::Step::Error:
                r.step = RecordStep::Bad;
                r.lines = static_cast<size_t>(scanner_.error().line - next_line_);
                r.error = scanner_.error().text();
                return r;
            case CsvScanner::Step::Record:
                break;
        }
        const CsvRecord& record = scanner_.record();
        next_line_ = record.first_line + record.line_count;
        r.length = record.length;
        r.lines = static_cast<size_t>(record.line_count);
        r.payload = input.first(record.length);
        Expected<void, std::string> keyed = append_csv_key(plan_, record.fields, ints_, key);
        if (!keyed) {
            // Reported on the record's first line, where the row begins.
            r.step = RecordStep::Bad;
            r.lines = 0;
            r.error = std::move(keyed).error();
            return r;
        }
        r.step = RecordStep::Record;
        return r;
    }

private:
    CsvScanner scanner_;
    CsvKeyPlan plan_;
    DecimalIntKey ints_;
    uint64_t next_line_ = 1;  // the scanner's line where the next record starts
};

}  // namespace

std::unique_ptr<RecordKeyer> make_csv_keyer(uint8_t delimiter, CsvKeyPlan plan) {
    return std::make_unique<CsvRecordKeyer>(delimiter, std::move(plan));
}

}  // namespace tessarune::format
