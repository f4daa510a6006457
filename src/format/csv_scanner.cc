#include "format/csv_scanner.h"

#include <cstdio>
#include <utility>

#include "base/engine_error.h"
#include "format/utf8_check.h"

namespace tessarune::format {
namespace {

// Buffers that grew past these for one huge record are not kept for the next.
constexpr size_t kKeptScratchBytes = 1 << 20;
constexpr size_t kKeptFields = 1 << 16;

bool is_line_break(uint8_t c) { return c == '\r' || c == '\n'; }

// The end of the line break at `p`, or 0 when a "\r" ends the input and a "\n" may follow it.
size_t line_break_end(const uint8_t* data, size_t n, size_t p, bool more_may_follow) {
    if (data[p] == '\n') return p + 1;
    if (p + 1 < n) return data[p + 1] == '\n' ? p + 2 : p + 1;
    return more_may_follow ? 0 : p + 1;
}

}  // namespace

std::string CsvError::text() const {
    return (kind == NotCsv ? "not CSV: " : "not UTF-8: ") + detail;
}

CsvScanner::CsvScanner(uint8_t delimiter, uint64_t first_line)
    : unquoted_stops_(delimiter, '\r', '\n'), quoted_stops_('"', '\r', '\n'), delimiter_(delimiter),
      line_(first_line) {
    TR_CHECK(delimiter < 0x80 && delimiter != '"' && !is_line_break(delimiter));
}

void CsvScanner::begin_record() {
    if (scratch_.capacity() > kKeptScratchBytes) scratch_.release();
    if (spans_.capacity() > kKeptFields) spans_.release();
    if (fields_.capacity() > kKeptFields) fields_.release();
    scratch_.clear();
    spans_.clear();
    pos_ = 0;
    first_line_ = line_;
}

void CsvScanner::save_field(const uint8_t* data, size_t end) {
    if (field_in_scratch_) {
        scratch_.append(data + segment_start_, end - segment_start_);
        spans_.push_back({scratch_start_, scratch_.size() - scratch_start_, true});
    } else {
        spans_.push_back({segment_start_, end - segment_start_, false});
    }
}

void CsvScanner::start_field(size_t at) {
    segment_start_ = at;
    field_in_scratch_ = false;
}

CsvScanner::Step CsvScanner::finish_record(Bytes input, size_t end, bool ended_by_break) {
    if (ended_by_break) ++line_;
    const uint64_t line_count = line_ - first_line_ + (ended_by_break ? 0 : 1);
    fields_.clear();
    fields_.reserve(spans_.size());
    for (const FieldSpan& s : spans_) {
        const uint8_t* base = s.in_scratch ? scratch_.data() : input.data();
        fields_.push_back(Bytes(base + s.offset, s.length));
    }
    record_ = CsvRecord{end, first_line_, line_count, fields_.span()};
    state_ = State::StartRecord;
    pos_ = 0;
    return Step::Record;
}

CsvScanner::Step CsvScanner::fail_csv(std::string detail, uint64_t line) {
    error_ = CsvError{CsvError::NotCsv, line, std::move(detail)};
    state_ = State::FinishingErrorLine;
    return Step::Error;
}

CsvScanner::Step CsvScanner::fail_utf8(uint8_t byte, const char* reason) {
    char text[80];
    std::snprintf(text, sizeof text, "can't decode byte 0x%02x: %s", byte, reason);
    error_ = CsvError{CsvError::NotUtf8, line_, text};
    state_ = State::Failed;
    return Step::Error;
}

CsvScanner::Step CsvScanner::next(Bytes input, bool more_may_follow) {
    if (state_ == State::Failed) return Step::Error;
    if (state_ == State::StartRecord) begin_record();
    const uint8_t* const data = input.data();
    const size_t n = input.size();
    size_t p = pos_;
    TR_CHECK(p <= n);

    const auto need_more = [&] {
        pos_ = p;
        return Step::NeedMore;
    };
    // Steps over the character that starts with the byte at p (0x80 or above): false when it
    // is not UTF-8 or is cut off by the end of the input, with `step` saying what to return.
    Step step = Step::Error;
    const auto pass_utf8 = [&] {
        const Utf8Sequence s = read_utf8_sequence(data + p, data + n);
        if (s.kind == Utf8Sequence::Valid) {
            p += s.length;
            return true;
        }
        if (s.kind == Utf8Sequence::Truncated && more_may_follow) {
            step = need_more();
        } else {
            step = fail_utf8(data[p], s.reason);
        }
        return false;
    };

    for (;;) {
        switch (state_) {
        case State::StartRecord:
            if (p == n) return more_may_follow ? need_more() : Step::End;
            if (is_line_break(data[p])) {
                // A blank line: a record without fields.
                const size_t end = line_break_end(data, n, p, more_may_follow);
                if (end == 0) return need_more();
                return finish_record(input, end, true);
            }
            state_ = State::StartField;
            [[fallthrough]];
        case State::StartField: {
            if (p == n) {
                if (more_may_follow) return need_more();
                start_field(p);
                save_field(data, p);
                return finish_record(input, n, false);
            }
            const uint8_t c = data[p];
            if (c == '"') {
                start_field(++p);
                state_ = State::InQuotedField;
                continue;
            }
            if (c == delimiter_) {
                start_field(p);
                save_field(data, p++);
                continue;
            }
            if (is_line_break(c)) {
                const size_t end = line_break_end(data, n, p, more_may_follow);
                if (end == 0) return need_more();
                start_field(p);
                save_field(data, p);
                return finish_record(input, end, true);
            }
            start_field(p);
            state_ = State::InField;
            [[fallthrough]];
        }
        case State::InField: {
            p = unquoted_stops_.find(data, p, n);
            if (p == n) {
                if (more_may_follow) return need_more();
                save_field(data, p);
                return finish_record(input, n, false);
            }
            const uint8_t c = data[p];
            if (c == delimiter_) {
                save_field(data, p++);
                state_ = State::StartField;
            } else if (is_line_break(c)) {
                const size_t end = line_break_end(data, n, p, more_may_follow);
                if (end == 0) return need_more();
                save_field(data, p);
                return finish_record(input, end, true);
            } else if (!pass_utf8()) {
                return step;
            }
            continue;
        }
        case State::InQuotedField: {
            p = quoted_stops_.find(data, p, n);
            if (p == n) {
                if (more_may_follow) return need_more();
                // The reader has read every line; the last one is where it stopped.
                const bool last_line_ended = is_line_break(data[n - 1]);
                fail_csv("unexpected end of data", last_line_ended ? line_ - 1 : line_);
                state_ = State::Failed;
                return Step::Error;
            }
            const uint8_t c = data[p];
            if (c == '"') {
                quote_at_ = p++;
                state_ = State::QuoteInQuotedField;
            } else if (is_line_break(c)) {
                // Part of the field; only the line count needs to know "\r\n" from "\r".
                const size_t end = line_break_end(data, n, p, more_may_follow);
                if (end == 0) return need_more();
                p = end;
                ++line_;
            } else if (!pass_utf8()) {
                return step;
            }
            continue;
        }
        case State::QuoteInQuotedField: {
            if (p == n) {
                if (more_may_follow) return need_more();
                save_field(data, quote_at_);
                return finish_record(input, n, false);
            }
            const uint8_t c = data[p];
            if (c == '"') {
                // A doubled quote: the field goes on in scratch with one quote.
                if (!field_in_scratch_) {
                    field_in_scratch_ = true;
                    scratch_start_ = scratch_.size();
                }
                scratch_.append(data + segment_start_, p - segment_start_);
                segment_start_ = ++p;
                state_ = State::InQuotedField;
            } else if (c == delimiter_) {
                save_field(data, quote_at_);
                ++p;
                state_ = State::StartField;
            } else if (is_line_break(c)) {
                const size_t end = line_break_end(data, n, p, more_may_follow);
                if (end == 0) return need_more();
                save_field(data, quote_at_);
                return finish_record(input, end, true);
            } else {
                fail_csv(std::string("'") + static_cast<char>(delimiter_) + "' expected after '\"'", line_);
            }
            continue;
        }
        case State::FinishingErrorLine:
            while (p < n && data[p] < 0x80 && !is_line_break(data[p])) ++p;
            if (p == n && more_may_follow) return need_more();
            if (p == n || is_line_break(data[p])) {
                state_ = State::Failed;
                return Step::Error;
            }
            if (!pass_utf8()) return step;
            continue;
        case State::Failed:
            return Step::Error;
        }
    }
}

}  // namespace tessarune::format
