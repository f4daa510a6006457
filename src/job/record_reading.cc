#include "job/record_reading.h"

#include <cstring>
#include <utility>

#include "format/record_keyers.h"
#include "job/csv_header_row.h"
#include "job/job_errors.h"
#include "key/key_encoding.h"

namespace tessarune::job {
namespace {

// Progress is told of the reading at most this often.
constexpr uint64_t kProgressBytes = uint64_t{4} << 20;
constexpr size_t kKeyCapacity = 4096;

// Key bytes are prefix-free, so complementing every byte of every key reverses their order
// exactly, and equal keys stay equal (their records keep their input order).
void complement(ByteBuffer& key) {
    for (uint8_t& b : key) b = static_cast<uint8_t>(~b);
}

}  // namespace

std::optional<std::string> key_declined_json(Bytes /*line*/, ByteBuffer& /*key*/) {
    // The exact reading of every line the native one declines is still to come.
    return std::string("not JSON");
}

RecordFeeder::RecordFeeder(const JobSpec& spec, SorterCore& core, Poll& poll, JobProgress* progress)
    : spec_(spec),
      own_sink_(std::in_place, core, poll),
      sink_(*own_sink_),
      core_(&core),
      progress_(progress),
      key_(kKeyCapacity) {}

RecordFeeder::RecordFeeder(const JobSpec& spec, RecordSink& sink, JobProgress* progress)
    : spec_(spec), sink_(sink), core_(sink.whole_line_core()), progress_(progress), key_(kKeyCapacity) {}

void RecordFeeder::note_bytes(uint64_t bytes) {
    bytes_read_ += bytes;
    unreported_bytes_ += bytes;
    if (progress_ != nullptr && unreported_bytes_ >= kProgressBytes) {
        progress_->read_bytes(std::exchange(unreported_bytes_, 0));
    }
}

EngineStatus RecordFeeder::fill(InputBuffer& buffer) {
    EngineStatus filled = buffer.fill();
    note_bytes(buffer.take_new_bytes());
    return filled;
}

// Hands the buffer to take(data, at_end) -> bytes taken, and reads more, until the input is
// all taken; at the end a last record without its end gets one.
template <typename Take>
EngineStatus RecordFeeder::feed(InputBuffer& buffer, std::string_view ends, Take take) {
    for (;;) {
        if (buffer.at_end()) buffer.end_last_record(ends);
        const size_t taken = TR_TRY(take(buffer.data(), buffer.at_end()));
        buffer.drop(taken);
        if (buffer.at_end()) {
            TR_CHECK(buffer.data().empty());
            break;
        }
        TR_RETURN_IF_ERROR(fill(buffer));
    }
    if (progress_ != nullptr && unreported_bytes_ != 0) progress_->read_bytes(std::exchange(unreported_bytes_, 0));
    return {};
}

EngineResult<bool> RecordFeeder::read_header_of(const std::string& name, ReadableFile& file) {
    TR_CHECK(spec_.format == RecordFormat::Csv);
    InputBuffer buffer(file, name);
    TR_RETURN_IF_ERROR(buffer.skip_bom());
    note_bytes(buffer.take_new_bytes());
    uint64_t lines = 0;
    return read_csv_header(buffer, name, lines);
}

EngineStatus RecordFeeder::add_input(const std::string& name, ReadableFile& file, bool csv_header) {
    InputBuffer buffer(file, name);
    const char separator = static_cast<char>(spec_.separator);
    if (spec_.format == RecordFormat::Lines && spec_.line_plan.fields.empty()) {
        if (core_ == nullptr) {
            return feed(buffer, std::string_view(&separator, 1),
                        [&](Bytes all, bool /*at_end*/) { return take_each_line(all); });
        }
        return feed(buffer, std::string_view(&separator, 1),
                    [&](Bytes all, bool /*at_end*/) { return take_whole_lines(all); });
    }
    uint64_t line = 0;  // lines before the buffer's front
    std::string_view ends(&separator, 1);
    if (spec_.format != RecordFormat::Lines) {
        TR_RETURN_IF_ERROR(buffer.skip_bom());
        note_bytes(buffer.take_new_bytes());
        ends = spec_.format == RecordFormat::Csv ? "\n\r" : "\n";
    }
    if (spec_.format == RecordFormat::Csv && !spec_.csv_header && !have_header_) {
        Expected<format::CsvKeyPlan, std::string> plan = plan_csv_key(nullptr, spec_.record_keys);
        if (!plan) return Unexpected(bad_input(name, 1, plan.error()));
        csv_plan_ = std::move(plan).value();
        have_header_ = true;
    }
    if (spec_.format == RecordFormat::Csv && csv_header && spec_.csv_header &&
        !TR_TRY(read_csv_header(buffer, name, line))) {
        return {};
    }
    TR_CHECK(spec_.format != RecordFormat::Csv || have_header_);
    std::unique_ptr<format::RecordKeyer> keyer = make_keyer();
    TR_RETURN_IF_ERROR(
        feed(buffer, ends, [&](Bytes all, bool at_end) { return take_keyed(*keyer, name, line, all, at_end); }));
    if (const std::vector<bool>* found = keyer->keys_found()) {
        keys_found_.resize(found->size(), false);
        for (size_t i = 0; i < found->size(); ++i) keys_found_[i] = keys_found_[i] || (*found)[i];
    }
    return {};
}

std::unique_ptr<format::RecordKeyer> RecordFeeder::make_keyer() const {
    switch (spec_.format) {
        case RecordFormat::Lines: return format::make_line_keyer(spec_.line_plan, spec_.separator);
        case RecordFormat::JsonLines: return format::make_json_keyer(spec_.record_keys);
        case RecordFormat::Csv: return format::make_csv_keyer(spec_.csv_delimiter, csv_plan_);
    }
    TR_CHECK(false);
    return nullptr;
}

// The bulk path: as many lines as the filling half takes as it stands in one call, the line
// it stops before the one-record way.
EngineResult<size_t> RecordFeeder::take_whole_lines(Bytes all) {
    const uint8_t sep = spec_.separator;
    // One pass over the buffer rather than one per line: text seldom holds a zero byte.
    const bool may_hold_zero = sep != 0 && std::memchr(all.data(), 0, all.size()) != nullptr;
    size_t consumed = 0;
    while (consumed < all.size()) {
        if (!spec_.reverse) {
            const LinesTaken taken = TR_TRY(core_->add([&](Filling& f) {
                return f.try_add_lines(all.subspan(consumed), sep, may_hold_zero, SIZE_MAX);
            }));
            consumed += taken.bytes;
            records_ += taken.lines;
            if (consumed == all.size()) break;
        }
        const void* found = std::memchr(all.data() + consumed, sep, all.size() - consumed);
        if (found == nullptr) break;
        const size_t end = static_cast<size_t>(static_cast<const uint8_t*>(found) - all.data());
        TR_RETURN_IF_ERROR(add_whole_line(all.subspan(consumed, end - consumed), may_hold_zero));
        consumed = end + 1;
        records_ += 1;
    }
    return consumed;
}

// The line without its separator is both its key, as a bytes key, and its payload.
EngineStatus RecordFeeder::add_whole_line(Bytes line, bool may_hold_zero) {
    if (!spec_.reverse && (!may_hold_zero || std::memchr(line.data(), 0, line.size()) == nullptr)) {
        if (TR_TRY(core_->add([&](Filling& f) { return f.try_add_bytes(line); }))) return {};
    }
    key_.clear();
    append_escaped(TAG_BYTES, line, key_);
    if (spec_.reverse) complement(key_);
    return sink_.add(key_.span(), line);
}

// Whole lines for a sink without an engine: the same key as add_whole_line's, the payload
// with its separator.
EngineResult<size_t> RecordFeeder::take_each_line(Bytes all) {
    size_t consumed = 0;
    for (;;) {
        const void* found = std::memchr(all.data() + consumed, spec_.separator, all.size() - consumed);
        if (found == nullptr) return consumed;
        const size_t end = static_cast<size_t>(static_cast<const uint8_t*>(found) - all.data());
        key_.clear();
        append_escaped(TAG_BYTES, all.subspan(consumed, end - consumed), key_);
        if (spec_.reverse) complement(key_);
        TR_RETURN_IF_ERROR(sink_.add(key_.span(), all.subspan(consumed, end + 1 - consumed)));
        consumed = end + 1;
        records_ += 1;
    }
}

EngineResult<size_t> RecordFeeder::take_keyed(format::RecordKeyer& keyer, const std::string& name, uint64_t& line,
                                              Bytes all, bool at_end) {
    const bool reverse = complements_whole_keys(spec_);
    size_t consumed = 0;
    while (consumed < all.size()) {
        key_.clear();
        format::KeyedRecord r = keyer.next(all.subspan(consumed), at_end, key_);
        switch (r.step) {
            case format::RecordStep::NeedMore: return consumed;
            case format::RecordStep::Skipped:
                consumed += r.length;
                line += r.lines;
                continue;
            case format::RecordStep::Bad: return Unexpected(bad_input(name, line + r.lines + 1, r.error));
            case format::RecordStep::Declined:
                key_.clear();
                if (std::optional<std::string> refusal = key_declined_json(r.payload, key_)) {
                    return Unexpected(bad_input(name, line + 1, *refusal));
                }
                break;
            case format::RecordStep::Record: break;
        }
        if (reverse) complement(key_);
        TR_RETURN_IF_ERROR(sink_.add(key_.span(), r.payload));
        consumed += r.length;
        line += r.lines;
        records_ += 1;
    }
    return consumed;
}

EngineResult<bool> RecordFeeder::read_csv_header(InputBuffer& buffer, const std::string& name, uint64_t& lines) {
    EngineResult<std::optional<CsvHeaderRow>> taken = take_csv_header(buffer, spec_.csv_delimiter, name);
    note_bytes(buffer.take_new_bytes());
    std::optional<CsvHeaderRow> header = TR_TRY(std::move(taken));
    if (!header) return false;
    if (!have_header_) {
        TR_RETURN_IF_ERROR(expect_csv_header(std::move(header->cells), name));
        csv_header_.append(Bytes(reinterpret_cast<const uint8_t*>(header->row.data()), header->row.size()));
    } else if (header->cells != header_cells_) {
        return Unexpected(bad_input(name, 1, "the header differs from the first input's"));
    }
    lines = header->lines;
    return true;
}

EngineStatus RecordFeeder::expect_csv_header(std::vector<std::string> cells, const std::string& name) {
    Expected<format::CsvKeyPlan, std::string> plan = plan_csv_key(&cells, spec_.record_keys);
    if (!plan) return Unexpected(bad_input(name, 1, plan.error()));
    csv_plan_ = std::move(plan).value();
    header_cells_ = std::move(cells);
    have_header_ = true;
    return {};
}

std::vector<std::string> RecordFeeder::keys_never_found() const {
    std::vector<std::string> names;
    if (spec_.format != RecordFormat::JsonLines || records_ == 0) return names;
    for (size_t i = 0; i < spec_.record_keys.size(); ++i) {
        if (i >= keys_found_.size() || !keys_found_[i]) names.push_back(spec_.record_keys[i].name);
    }
    return names;
}

}  // namespace tessarune::job
