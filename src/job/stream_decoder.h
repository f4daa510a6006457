// StreamDecoder: the text inside a gzip, zstd, bzip2 or xz input, fed in chunks as they are
// read, behind one interface over zlib, libzstd, libbz2 and liblzma.
//
// Each format's pieces that follow one another (gzip members, zstd frames, bzip2 and xz
// streams) make one text, as the formats' own tools read them. An input that ends inside a
// piece is truncated, and bytes the format does not allow are damage: neither passes for a
// shorter text. A changed byte inside a piece is damage as far as its format can tell: gzip,
// bzip2 and xz check their text, zstd only where the frame carries a checksum.
#pragma once

#include <memory>

#include "base/expected.h"
#include "base/growable_array.h"
#include "job/compression.h"

namespace tessarune::job {

class StreamDecoder {
public:
    virtual ~StreamDecoder() = default;

    // Decodes from `in` (advanced past what it took) into the spare capacity of `out` (its
    // size grown by what was made), until `out` is full or all of `in` is taken and nothing
    // more comes of it. `input_ends`: no input follows `in`. True once the text is complete:
    // the input ended where a piece ends and all its text is in `out`.
    // So after a call, `out` is full, or it returned true, or `in` is empty and !input_ends.
    // Errors, kind BadInput, without the file's name: "truncated gzip input" (only when
    // input_ends), "damaged gzip input: REASON".
    virtual EngineResult<bool> decode(Bytes& in, bool input_ends, ByteBuffer& out) = 0;
};

// REQUIRES: compression != None.
std::unique_ptr<StreamDecoder> new_stream_decoder(Compression compression);

}  // namespace tessarune::job
