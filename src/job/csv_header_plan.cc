#include "job/csv_header_plan.h"

#include <algorithm>
#include <cstdio>

namespace tessarune::job {

Expected<format::CsvKeyPlan, std::string> plan_csv_key(const std::vector<std::string>* header,
                                                       const std::vector<format::RecordKey>& keys) {
    format::CsvKeyPlan made;
    if (keys.empty()) {
        made.every_cell = header == nullptr;
        if (header != nullptr) {
            for (size_t i = 0; i < header->size(); ++i) made.columns.push_back(i);
        }
        return made;
    }
    for (const format::RecordKey& key : keys) {
        if (key.column) {
            made.columns.push_back(*key.column);
        } else {
            TR_CHECK(header != nullptr && key.path.size() == 1);
            const auto found = std::find(header->begin(), header->end(), key.path[0]);
            if (found == header->end()) return Unexpected("no column " + python_repr(key.path[0]) + " in the header");
            made.columns.push_back(static_cast<size_t>(found - header->begin()));
        }
        made.keys.push_back(key);
    }
    return made;
}

std::string python_repr(std::string_view text) {
    const bool has_single = text.find('\'') != std::string_view::npos;
    const char quote = has_single && text.find('"') == std::string_view::npos ? '"' : '\'';
    std::string out(1, quote);
    auto hex = [&out](unsigned value) {
        char buf[8];
        std::snprintf(buf, sizeof buf, "\\x%02x", value);
        out += buf;
    };
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '\\' || c == static_cast<unsigned char>(quote)) {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7f) {
            hex(c);
        } else if (c == 0xC2 && i + 1 < text.size() &&
                   (static_cast<unsigned char>(text[i + 1]) < 0xA1 || static_cast<unsigned char>(text[i + 1]) == 0xAD)) {
            // U+0080 to U+00A0 and U+00AD, which Python does not print as they are.
            hex(static_cast<unsigned char>(text[i + 1]));
            i += 1;
        } else {
            out += static_cast<char>(c);
        }
    }
    out += quote;
    return out;
}

}  // namespace tessarune::job
