#include <cstring>

#include "base/engine_error.h"
#include "base/little_endian.h"
#include "format/line_key.h"
#include "format/record_keyers.h"

namespace tessarune::format {
namespace {

class LineRecordKeyer final : public RecordKeyer {
public:
    LineRecordKeyer(LineKeyPlan plan, uint8_t separator)
        : plan_(std::move(plan)), separator_(separator) {}

    KeyedRecord next(Bytes input, bool /*at_end*/, ByteBuffer& key) override {
        // The caller ends its last line with a separator, so a line without one goes on.
        const void* found = std::memchr(input.data(), separator_, input.size());
        KeyedRecord r;
        if (found == nullptr) return r;
        const size_t line_length = static_cast<size_t>(static_cast<const uint8_t*>(found) - input.data());
        const Bytes line = input.first(line_length);
        append_line_key(plan_, line, key, scratch_);
        r.step = RecordStep::Record;
        r.length = line_length + 1;
        r.lines = 1;
        if (plan_.line_in_key()) {
            // The key ends with the whole line already: storing it again as the payload would
            // double what the record takes, so the payload says where the line is instead.
            store_le32(last_resort_, static_cast<uint32_t>(last_resort_length(line)));
            r.payload = Bytes(last_resort_, sizeof last_resort_);
        } else {
            r.payload = input.first(r.length);
        }
        return r;
    }

private:
    LineKeyPlan plan_;
    uint8_t separator_;
    LineKeyScratch scratch_;
    uint8_t last_resort_[4] = {};
};

}  // namespace

std::unique_ptr<RecordKeyer> make_line_keyer(LineKeyPlan plan, uint8_t separator) {
    return std::make_unique<LineRecordKeyer>(std::move(plan), separator);
}

void append_keyed_line(const LineKeyPlan& plan, uint8_t separator, Bytes key, Bytes payload, ByteBuffer& out) {
    if (!plan.line_in_key()) {
        out.append(payload);
        return;
    }
    TR_CHECK(payload.size() == 4);
    append_line_from_key(key, load_le32(payload.data()), plan.last_resort_reverse, out);
    out.push_back(separator);
}

}  // namespace tessarune::format
