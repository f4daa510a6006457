#include "format/csv_key.h"

#include "format/typed_value.h"
#include "key/key_encoding.h"

namespace tessarune::format {

Expected<void, std::string> append_csv_key(const CsvKeyPlan& plan, std::span<const Bytes> fields, DecimalIntKey& ints,
                                           ByteBuffer& out) {
    if (plan.keys.empty()) {
        const size_t count = plan.every_cell ? fields.size() : plan.columns.size();
        for (size_t i = 0; i < count; ++i) {
            const size_t column = plan.every_cell ? i : plan.columns[i];
            if (column >= fields.size()) return Unexpected("the row has no column @" + std::to_string(column + 1));
        }
        out.push_back(TAG_TUPLE);
        for (size_t i = 0; i < count; ++i) append_escaped(TAG_STR, fields[plan.every_cell ? i : plan.columns[i]], out);
        out.push_back(TAG_END);
        return {};
    }
    for (size_t i = 0; i < plan.columns.size(); ++i) {
        if (plan.columns[i] >= fields.size()) return Unexpected("the row has no column " + plan.keys[i].name);
        ScalarValue cell;
        cell.kind = ScalarValue::Kind::Cell;
        cell.text = fields[plan.columns[i]];
        if (!append_typed_part(plan.keys[i], cell, ints, out)) return Unexpected(refusal_of(plan.keys[i], cell));
    }
    return {};
}

}  // namespace tessarune::format
