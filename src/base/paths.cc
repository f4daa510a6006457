#include "base/paths.h"

#include <cstdio>

namespace tessarune {

std::string join_path(const std::string& dir, std::string_view name) {
    std::string joined = dir;
    if (joined.empty() || joined.back() != '/') joined.push_back('/');
    joined.append(name);
    return joined;
}

std::string quote_path(const std::string& path) {
    std::string quoted = "\"";
    for (const char c : path) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
            case '"': quoted += "\\\""; break;
            case '\\': quoted += "\\\\"; break;
            case '\n': quoted += "\\n"; break;
            case '\r': quoted += "\\r"; break;
            case '\t': quoted += "\\t"; break;
            case '\0': quoted += "\\0"; break;
            default:
                if (byte < 0x20 || byte == 0x7f) {
                    char escape[8];
                    std::snprintf(escape, sizeof escape, "\\x%02x", byte);
                    quoted += escape;
                } else {
                    quoted.push_back(c);
                }
        }
    }
    quoted.push_back('"');
    return quoted;
}

}  // namespace tessarune
