// The key walk: turns a Python sort key into its key bytes (see key/key_encoding.h).
//
// Runs attached to the interpreter on the thread that adds the item, and fails the
// interpreter's way: -1 with an exception set. Ints, floats, strs, bytes, None, tuples and
// lists are read directly, and so are dates, times, datetimes, Decimals, Fractions and UUIDs
// (key_kinds.h); only strs holding lone surrogates, objects with __index__ and datetimes with
// a tzinfo other than timezone.utc call Python code. On failure the buffer holds a partial
// key that the caller must discard; every reference the walk took has been dropped.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "base/growable_array.h"

namespace tessarune {

// The first capacity of a key buffer, on every path that encodes keys (adding, key_bytes,
// the tests), so that a key costs the same wherever it is encoded.
inline constexpr size_t kKeyBufferCapacity = 256;

// Appends the key bytes of `key` to `out`: append_key_value at depth 0. 0 or -1.
int encode_key(PyObject* key, ByteBuffer& out);
// The same, adding to `seen` what the key held (kSeenNaiveDatetime, kSeenAwareDatetime).
int encode_key(PyObject* key, ByteBuffer& out, uint8_t& seen);

// Appends the encoding of `value` found at nesting `depth` (the top-level value is at 0).
// A tuple or list at KEY_MAX_DEPTH raises RecursionError. 0 or -1.
int append_key_value(PyObject* value, int depth, ByteBuffer& out);

// The number encoding of an int (or int subclass) that does not fit in 64 bits, read
// directly (no method of the int is called). 0 or -1.
int append_number_big_int(PyObject* value, ByteBuffer& out);

enum class IndexKey { Appended, NotApplicable, Failed };

// The key of an object of none of the accepted kinds whose type has __index__: the int that
// PyNumber_Index gives. NotApplicable, with no exception set, when the type has no __index__.
IndexKey append_index_key(PyObject* value, ByteBuffer& out);

}  // namespace tessarune
