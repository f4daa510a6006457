// The order of key bytes: unsigned bytes, a proper prefix first. Every comparison of keys in
// the sort and the merge comes down to this.
#pragma once

#include "base/growable_array.h"

namespace tessarune {

// Compares two key byte strings as unsigned bytes, a proper prefix first. <0, 0, >0.
int compare_keys(Bytes a, Bytes b);

}  // namespace tessarune
