#include "key/key_compare.h"

#include <algorithm>
#include <cstring>

namespace tessarune {

int compare_keys(Bytes a, Bytes b) {
    const size_t common = std::min(a.size(), b.size());
    if (common != 0) {
        const int c = std::memcmp(a.data(), b.data(), common);
        if (c != 0) return c;
    }
    if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
    return 0;
}

}  // namespace tessarune
