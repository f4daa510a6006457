// The text of a JSON line as Python's json.loads reads bytes: the encoding is guessed from a
// byte order mark or from where the first bytes are zero (UTF-32, UTF-16, UTF-8 with or
// without a mark) and the bytes are decoded with 'surrogatepass', so lone surrogates survive.
//
// The text comes out as generalized UTF-8: every code point in its UTF-8 form, a surrogate in
// the three-byte form that UTF-8 forbids, which is also how the key encoding writes a str
// holding one (str.encode('utf-8', 'surrogatepass')).
#pragma once

#include <cstdint>
#include <string>

#include "base/growable_array.h"

namespace tessarune::format {

struct JsonText {
    Bytes text;             // a view into the bytes decoded, or into the scratch buffer
    bool is_input = false;  // `text` lies within the bytes decoded: positions in it are theirs
};

// Decodes `bytes` (a line with its newline, as the reading hands it to json.loads) into
// `text`; a copy into `scratch` is made only for UTF-16 and UTF-32. On failure returns false
// and sets `error` to a short reason.
bool decode_json_bytes(Bytes bytes, ByteBuffer& scratch, JsonText& text, std::string& error);

// The value of the four hex digits at p (a \u escape's), or -1 when one is not a hex digit.
int hex4(const uint8_t* p);

// Appends the UTF-8 form of a code point, a surrogate in the three-byte form.
void append_code_point(uint32_t c, ByteBuffer& out);

}  // namespace tessarune::format
