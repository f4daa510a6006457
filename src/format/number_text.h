// A CSV cell read as a number. With ASCII spaces and tabs stripped from both ends, the cell
// is empty, or matches
//
//   [+-]? ( DIGITS ( . DIGITS? )? | . DIGITS ) ( [eE] [+-]? DIGITS )?
//
// (an int when it has neither point nor exponent, else a float), or is not a number: Python's
// float() would take "nan", "inf" and "1_000", but a column of numbers that holds them is far
// more likely a mistake than a wish.
#pragma once

#include <cstdint>

#include "base/growable_array.h"
#include "format/json_number.h"

namespace tessarune::format {

enum class NumberTextKind : uint8_t { Empty, Int, Float, NotANumber };

struct TextNumber {
    NumberTextKind kind = NumberTextKind::Empty;
    Bytes text;             // the cell without its surrounding blanks; points into the cell
    bool negative = false;  // Int: a leading '-' ("-0" is zero all the same)
    Bytes digits;           // Int: the digits without sign and leading zeros, at least one
    double value = 0;       // Float: float() of the text, correctly rounded, +-inf beyond range
};

// Reads a cell; the result points into `cell`.
TextNumber read_number_text(Bytes cell);

// Appends the key bytes (key/key_encoding.h) of the number in `cell`: an int exactly, a float
// as its double, so that ints and floats order by value as Python orders them. Returns false,
// appending nothing, when the cell is empty or not a number (the caller reads an empty cell
// as null before).
bool append_number_text_key(Bytes cell, DecimalIntKey& ints, ByteBuffer& out);

}  // namespace tessarune::format
