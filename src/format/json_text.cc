#include "format/json_text.h"

#include <initializer_list>

#include "format/utf8_check.h"

namespace tessarune::format {
namespace {

enum class Encoding { Utf8, Utf8Sig, Utf16, Utf16Le, Utf16Be, Utf32, Utf32Le, Utf32Be };

bool starts_with(Bytes b, std::initializer_list<uint8_t> prefix) {
    if (b.size() < prefix.size()) return false;
    size_t i = 0;
    for (uint8_t c : prefix) {
        if (b[i++] != c) return false;
    }
    return true;
}

// json.detect_encoding, test for test.
Encoding detect_encoding(Bytes b) {
    if (starts_with(b, {0x00, 0x00, 0xFE, 0xFF}) || starts_with(b, {0xFF, 0xFE, 0x00, 0x00})) return Encoding::Utf32;
    if (starts_with(b, {0xFE, 0xFF}) || starts_with(b, {0xFF, 0xFE})) return Encoding::Utf16;
    if (starts_with(b, {0xEF, 0xBB, 0xBF})) return Encoding::Utf8Sig;
    if (b.size() >= 4) {
        if (b[0] == 0) return b[1] != 0 ? Encoding::Utf16Be : Encoding::Utf32Be;
        if (b[1] == 0) return b[2] != 0 || b[3] != 0 ? Encoding::Utf16Le : Encoding::Utf32Le;
    } else if (b.size() == 2) {
        if (b[0] == 0) return Encoding::Utf16Be;
        if (b[1] == 0) return Encoding::Utf16Le;
    }
    return Encoding::Utf8;
}

// UTF-8 as the codec reads it with 'surrogatepass': the strict form, except that the
// three-byte form of a surrogate is taken as that code point.
bool valid_utf8(Bytes b) {
    const uint8_t* p = b.data();
    const uint8_t* const end = p + b.size();
    while (p < end) {
        if (*p < 0x80) {
            ++p;
            continue;
        }
        const Utf8Sequence seq = read_utf8_sequence(p, end);
        if (seq.kind == Utf8Sequence::Valid) {
            p += seq.length;
        } else if (end - p >= 3 && p[0] == 0xED && p[1] >= 0xA0 && p[1] <= 0xBF && p[2] >= 0x80 && p[2] <= 0xBF) {
            p += 3;
        } else {
            return false;
        }
    }
    return true;
}

uint32_t unit16(const uint8_t* p, bool big) {
    return big ? (uint32_t{p[0]} << 8 | p[1]) : (uint32_t{p[1]} << 8 | p[0]);
}

uint32_t unit32(const uint8_t* p, bool big) {
    return big ? (uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3])
               : (uint32_t{p[3]} << 24 | uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | p[0]);
}

// A pair of surrogates is one code point; a surrogate on its own passes as itself.
bool decode_utf16(Bytes b, bool big, ByteBuffer& out) {
    if (b.size() % 2 != 0) return false;
    for (size_t i = 0; i < b.size(); i += 2) {
        const uint32_t c = unit16(b.data() + i, big);
        if (c >= 0xD800 && c <= 0xDBFF && i + 4 <= b.size()) {
            const uint32_t low = unit16(b.data() + i + 2, big);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                append_code_point(0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00), out);
                i += 2;
                continue;
            }
        }
        append_code_point(c, out);
    }
    return true;
}

bool decode_utf32(Bytes b, bool big, ByteBuffer& out) {
    if (b.size() % 4 != 0) return false;
    for (size_t i = 0; i < b.size(); i += 4) {
        const uint32_t c = unit32(b.data() + i, big);
        if (c > 0x10FFFF) return false;
        append_code_point(c, out);
    }
    return true;
}

}  // namespace

bool decode_json_bytes(Bytes bytes, ByteBuffer& scratch, JsonText& text, std::string& error) {
    const Encoding encoding = detect_encoding(bytes);
    if (encoding == Encoding::Utf8 || encoding == Encoding::Utf8Sig) {
        const Bytes body = encoding == Encoding::Utf8 ? bytes : bytes.subspan(3);
        if (!valid_utf8(body)) {
            error = "the bytes are not UTF-8";
            return false;
        }
        text = {body, true};
        return true;
    }
    scratch.clear();
    bool decoded = false;
    const char* name = "UTF-16";
    switch (encoding) {
        case Encoding::Utf16:
            decoded = decode_utf16(bytes.subspan(2), bytes[0] == 0xFE, scratch);
            break;
        case Encoding::Utf16Le:
        case Encoding::Utf16Be:
            decoded = decode_utf16(bytes, encoding == Encoding::Utf16Be, scratch);
            break;
        case Encoding::Utf32:
            name = "UTF-32";
            decoded = decode_utf32(bytes.subspan(4), bytes[0] == 0x00, scratch);
            break;
        default:
            name = "UTF-32";
            decoded = decode_utf32(bytes, encoding == Encoding::Utf32Be, scratch);
            break;
    }
    if (!decoded) {
        error = std::string("the bytes are not ") + name + ", the encoding their zero bytes suggest";
        return false;
    }
    text = {Bytes(scratch.data(), scratch.size()), false};
    return true;
}

int hex4(const uint8_t* p) {
    int value = 0;
    for (int i = 0; i < 4; ++i) {
        const uint8_t c = p[i];
        int digit;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if ((c | 0x20) >= 'a' && (c | 0x20) <= 'f') {
            digit = (c | 0x20) - 'a' + 10;
        } else {
            return -1;
        }
        value = value * 16 + digit;
    }
    return value;
}

void append_code_point(uint32_t c, ByteBuffer& out) {
    if (c < 0x80) {
        out.push_back(static_cast<uint8_t>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<uint8_t>(0xC0 | (c >> 6)));
        out.push_back(static_cast<uint8_t>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<uint8_t>(0xE0 | (c >> 12)));
        out.push_back(static_cast<uint8_t>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<uint8_t>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<uint8_t>(0xF0 | (c >> 18)));
        out.push_back(static_cast<uint8_t>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<uint8_t>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<uint8_t>(0x80 | (c & 0x3F)));
    }
}

}  // namespace tessarune::format
