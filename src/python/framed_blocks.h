// The records of bucket blocks (run/bucket_block.h) added to a sorter under the key bytes the
// blocks carry: Sorter._add_framed's buffers and the cluster's bucket files alike.
#pragma once

#include <string_view>

#include "base/growable_array.h"
#include "python/sorter_object.h"

namespace tessarune::python {

// The whole blocks at the front of `all` added to the sorter (attached to the interpreter; the
// adding detaches and polls signals in rounds): the bytes they take, or -1 with an exception
// set. A damaged block raises ValueError, its message led by `path` when one is given. `raw`
// is scratch for a block's decoded records, kept by the caller from one call to the next.
Py_ssize_t add_framed_blocks(SorterObject* self, Bytes all, ByteBuffer& raw, std::string_view path);

}  // namespace tessarune::python
