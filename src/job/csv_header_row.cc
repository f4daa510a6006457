#include "job/csv_header_row.h"

#include "format/csv_scanner.h"
#include "job/job_errors.h"

namespace tessarune::job {

EngineResult<std::optional<CsvHeaderRow>> take_csv_header(InputBuffer& buffer, uint8_t delimiter,
                                                          const std::string& name) {
    format::CsvScanner scanner(delimiter);
    for (;;) {
        if (buffer.at_end()) buffer.end_last_record("\n\r");
        const format::CsvScanner::Step step = scanner.next(buffer.data(), !buffer.at_end());
        if (step == format::CsvScanner::Step::Record) break;
        if (step == format::CsvScanner::Step::End) return std::optional<CsvHeaderRow>();
        if (step == format::CsvScanner::Step::Error) {
            return Unexpected(bad_input(name, scanner.error().line, scanner.error().text()));
        }
        TR_RETURN_IF_ERROR(buffer.fill());
    }
    const format::CsvRecord& header = scanner.record();
    CsvHeaderRow row;
    row.cells.reserve(header.fields.size());
    for (Bytes cell : header.fields) row.cells.emplace_back(reinterpret_cast<const char*>(cell.data()), cell.size());
    const Bytes bytes = buffer.data().first(header.length);
    row.row.assign(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    if (row.row.back() != '\n' && row.row.back() != '\r') row.row += '\n';
    row.lines = header.line_count;
    buffer.drop(header.length);
    return std::optional<CsvHeaderRow>(std::move(row));
}

}  // namespace tessarune::job
