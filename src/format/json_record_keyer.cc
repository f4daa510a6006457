#include <cstring>

#include "format/json_key.h"
#include "format/record_keyers.h"

namespace tessarune::format {
namespace {

bool is_json_blank(Bytes line) {
    for (uint8_t c : line) {
        if (c != ' ' && c != '\t' && c != '\r') return false;
    }
    return true;
}

class JsonRecordKeyer final : public RecordKeyer {
public:
    JsonRecordKeyer(std::vector<RecordKey> keys, bool python_tuple) : reader_(std::move(keys), python_tuple) {}

    KeyedRecord next(Bytes input, bool /*at_end*/, ByteBuffer& key) override {
        const void* found = std::memchr(input.data(), '\n', input.size());
        KeyedRecord r;
        if (found == nullptr) return r;
        const size_t line_length = static_cast<size_t>(static_cast<const uint8_t*>(found) - input.data());
        const Bytes line = input.first(line_length);
        r.length = line_length + 1;
        r.lines = 1;
        r.payload = input.first(r.length);
        if (is_json_blank(line)) {
            r.step = RecordStep::Skipped;
        } else if (reader_.append_key(line, key)) {
            r.step = RecordStep::Record;
        } else {
            r.step = RecordStep::Bad;
            r.lines = 0;  // the bad line is the record's first
            r.error = reader_.error();
        }
        return r;
    }

    const std::vector<bool>* keys_found() const override { return &reader_.keys_found(); }

private:
    JsonKeyReader reader_;
};

}  // namespace

std::unique_ptr<RecordKeyer> make_json_keyer(std::vector<RecordKey> keys, bool python_tuple) {
    return std::make_unique<JsonRecordKeyer>(std::move(keys), python_tuple);
}

}  // namespace tessarune::format
