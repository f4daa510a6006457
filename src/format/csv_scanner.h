// CSV records as Python's csv.reader reads them with the default dialect and strict=True, over
// a file opened as UTF-8 with newline='': quoted fields may hold delimiters, quotes (doubled)
// and line breaks; a quote inside an unquoted field is kept; a blank line is a record with no
// fields; a physical line ends at "\n", "\r\n" or a lone "\r". Unlike the csv module there is no
// field size limit, and every byte is checked to be UTF-8 as the reader reaches it.
//
// The scanner keeps its place inside a record between calls, so a record that arrives in many
// pieces costs time linear in its size however the caller grows its buffer.
#pragma once

#include <cstdint>
#include <string>

#include "base/growable_array.h"
#include "format/stop_bytes.h"

namespace tessarune::format {

// The three bytes a file may start with to say it is UTF-8; not part of the first record.
inline size_t utf8_bom_length(Bytes data) {
    return data.size() >= 3 && data[0] == 0xEF && data[1] == 0xBB && data[2] == 0xBF ? 3 : 0;
}

struct CsvRecord {
    size_t length = 0;        // bytes of input, its line ending included
    uint64_t first_line = 0;  // 1-based physical line the record starts on
    uint64_t line_count = 0;  // physical lines it spans (line breaks inside quotes count)
    // Each field after unquoting: views into the caller's input or the scanner's scratch,
    // valid until the next call to next().
    std::span<const Bytes> fields;
};

struct CsvError {
    enum Kind : uint8_t { NotCsv, NotUtf8 };
    Kind kind = NotCsv;
    uint64_t line = 0;   // the physical line the fault is on
    std::string detail;  // the csv module's message, or the bad byte and the codec's reason

    // As the command line shows it: "not CSV: ..." or "not UTF-8: ...".
    std::string text() const;
};

class CsvScanner {
public:
    enum class Step { Record, NeedMore, End, Error };

    // `delimiter` is an ASCII byte other than '"', '\r' and '\n' (a delimiter outside ASCII
    // stays with the Python reader). Lines are numbered from `first_line`.
    explicit CsvScanner(uint8_t delimiter, uint64_t first_line = 1);

    CsvScanner(const CsvScanner&) = delete;
    CsvScanner& operator=(const CsvScanner&) = delete;

    // Reads the record at the start of `input`. `input` starts where the last record returned
    // ended (or where the data starts, past any byte order mark); after NeedMore it starts at
    // the same place again and holds at least the bytes it held before, and may have moved.
    // `more_may_follow` says whether bytes may follow the end of `input`.
    //
    // Record: record() holds it; the next input starts record().length bytes further.
    // NeedMore: only when `more_may_follow`; call again with more bytes. (Once a fault is
    //   found, its line is still read to its end, so NeedMore can come before the Error.)
    // End: no bytes remain and none follow.
    // Error: error() says what and where; every later call returns Error again.
    Step next(Bytes input, bool more_may_follow);

    const CsvRecord& record() const { return record_; }
    const CsvError& error() const { return error_; }

private:
    enum class State : uint8_t {
        StartRecord,
        StartField,
        InField,
        InQuotedField,
        QuoteInQuotedField,
        // A fault was found; its line is read to the end for a bad byte, which is reported
        // instead, as a reader that decodes the whole file first would.
        FinishingErrorLine,
        Failed,
    };

    // Where a finished field lies: in the input (offsets from the record's start) or in scratch.
    struct FieldSpan {
        size_t offset;
        size_t length;
        bool in_scratch;
    };

    void begin_record();
    void start_field(size_t at);
    // Saves the field being read, whose input bytes end at `end`.
    void save_field(const uint8_t* data, size_t end);
    Step finish_record(Bytes input, size_t end, bool ended_by_break);
    Step fail_csv(std::string detail, uint64_t line);
    Step fail_utf8(uint8_t byte, const char* reason);

    // The bytes that end a run of ordinary bytes inside an unquoted or a quoted field.
    StopBytes unquoted_stops_;
    StopBytes quoted_stops_;
    uint8_t delimiter_;

    State state_ = State::StartRecord;
    size_t pos_ = 0;      // offset from the record's start of the next byte to read
    uint64_t line_;       // the physical line that the byte at pos_ is on
    uint64_t first_line_ = 0;
    // The field being read: its input bytes from segment_start_, after what scratch holds of
    // it from scratch_start_ on (once a doubled quote has been collapsed).
    size_t segment_start_ = 0;
    bool field_in_scratch_ = false;
    size_t scratch_start_ = 0;
    size_t quote_at_ = 0;  // the offset of the quote that may close a quoted field

    GrowableArray<FieldSpan> spans_;
    GrowableArray<Bytes> fields_;
    ByteBuffer scratch_;
    CsvRecord record_;
    CsvError error_;
};

}  // namespace tessarune::format
