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

}  // namespace tessarune::format
