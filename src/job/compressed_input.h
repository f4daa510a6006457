// Inputs that may be compressed: recognised by their first bytes, and read as the text inside
// them while a thread of their own decompresses ahead of the reader.
//
// The first bytes are read once and kept, since an input may be a pipe or standard input,
// which cannot seek back. The reader's thread does every read of the underlying file, inside
// read(): a file that asks its caller's poll on each read (Python's) keeps working, and the
// decompressing thread ("tessarune-unzip") only turns chunks of compressed bytes into chunks
// of text. It holds at most
//     3 text chunks of 1 MiB (one being filled, two waiting or being read)
//   + 2 compressed chunks of 256 KiB (one being decompressed, one read ahead),
// 3.5 MiB, and besides them the decoder's own state: 44 KiB for gzip; the frame's window for
// zstd (2-8 MiB at the usual levels, refused above 128 MiB); up to 3.7 MiB for bzip2; the
// dictionary for xz (8 MiB at its default level, 64 MiB at -9).
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "base/expected.h"
#include "base/file_handles.h"
#include "base/growable_array.h"
#include "job/compression.h"

namespace tessarune::job {

// How many first bytes tell every format apart.
inline constexpr size_t kMagicBytes = 10;

// The format whose magic `head` starts with: gzip 1f 8b 08; zstd 28 b5 2f fd; xz fd 37 7a 58
// 5a 00; bzip2 "BZh", a level '1'-'9', then the magic of a block (31 41 59 26 53 59) or of the
// end of an empty stream (17 72 45 38 50 90), so that a text starting "BZh1" is text. None for
// anything else, a head too short to tell included.
Compression compression_of(Bytes head);

// Reads the first bytes of `file` and returns a file that reads its text: the decompressed
// text when they are the magic of a compressed format, else the file's bytes unchanged.
//
// The returned file's read() gives the underlying file's errors as they are (Interrupted: try
// again), and for a compressed input that ends inside a member, frame or stream, or is damaged,
// an error of kind BadInput naming the file: "NAME: truncated gzip input", "NAME: damaged zstd
// input: REASON", returned by every later read too; never a shorter text. Dropping it part-way
// stops and joins its thread. One thread at a time may use it.
// Errors: reading the first bytes fails as the underlying file does (Interrupted is retried).
EngineResult<std::unique_ptr<ReadableFile>> read_decompressed(std::unique_ptr<ReadableFile> file,
                                                              const std::string& name);

}  // namespace tessarune::job
