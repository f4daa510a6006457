#include <cstring>

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
        append_line_key(plan_, input.first(line_length), key, scratch_);
        r.step = RecordStep::Record;
        r.length = line_length + 1;
        r.lines = 1;
        r.payload = input.first(r.length);
        return r;
    }

private:
    LineKeyPlan plan_;
    uint8_t separator_;
    ByteBuffer scratch_;
};

}  // namespace

std::unique_ptr<RecordKeyer> make_line_keyer(LineKeyPlan plan, uint8_t separator) {
    return std::make_unique<LineRecordKeyer>(std::move(plan), separator);
}

}  // namespace tessarune::format
