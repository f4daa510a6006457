#include "format/record_key.h"

namespace tessarune::format {

const char* key_type_name(KeyType type) {
    switch (type) {
        case KeyType::Text: return "text";
        case KeyType::Number: return "number";
        case KeyType::Timestamp: return "timestamp";
    }
    return "text";
}

std::vector<RecordKey> text_keys_of_paths(std::vector<std::vector<std::string>> paths) {
    std::vector<RecordKey> keys;
    for (std::vector<std::string>& path : paths) {
        RecordKey& key = keys.emplace_back();
        for (size_t i = 0; i < path.size(); ++i) key.name += (i == 0 ? "" : ".") + path[i];
        key.path = std::move(path);
    }
    return keys;
}

}  // namespace tessarune::format
