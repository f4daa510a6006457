// Version order of a key (-V) as prefix-free, order-preserving bytes.
//
// Version order compares file names: the empty name first, then ".", then "..", then other names
// that start with '.', then the rest. Within a class, the names lose their longest suffix of
// groups `.X[alnum~]*` (X a letter or '~') that reaches their end, and the rest is compared by the
// alternating comparison below; only if that finds them equal are the whole names compared the
// same way. So the key is a class byte, then the alternating key of the cut name, then that of the
// whole name (a name with no suffix simply repeats it).
//
// The alternating comparison reads a name as runs of non-digits and digits. Non-digit runs compare
// byte by byte in the order '~' < end of run < letters < every other byte; digit runs compare as
// numbers (leading zeros dropped, then longer is larger, then digit by digit), an absent digit run
// counting as zero. Its key writes, for each non-digit run and the digit run after it:
//
//   each byte:  '~' as 01, a letter as itself, any other byte b as FF b
//   run end:    02, then the digit run's length (one byte below FF, or FF and four bytes) and
//               its digits without leading zeros
//
// and one more 02 at the end of the name. That last 02 only ever meets a byte of a non-digit run
// (or the other name's own last 02), where the comparison puts the end of a name, so it needs no
// distinct value; and since every part's length is fixed by what came before, no key is a prefix
// of another.
#pragma once

#include "base/growable_array.h"

namespace tessarune::format {

void append_version_key(Bytes text, ByteBuffer& out);

}  // namespace tessarune::format
