#include "format/csv_key.h"

#include "format/number_key.h"
#include "key/key_encoding.h"

namespace tessarune::format {

Expected<void, CsvMissingColumn> append_csv_key(const CsvKeyPlan& plan, std::span<const Bytes> fields,
                                                ByteBuffer& out) {
    for (size_t i = 0; i < plan.columns.size(); ++i) {
        if (plan.columns[i] >= fields.size()) return Unexpected(CsvMissingColumn{i});
    }
    if (plan.numeric) {
        for (const size_t column : plan.columns) append_number_key(fields[column], is_line_blank, out);
        return {};
    }
    out.push_back(TAG_TUPLE);
    for (const size_t column : plan.columns) append_escaped(TAG_STR, fields[column], out);
    out.push_back(TAG_END);
    return {};
}

}  // namespace tessarune::format
