// Outputs written compressed, as their names ask: gzip for "NAME.gz", zstd for "NAME.zst".
#pragma once

#include <memory>
#include <string_view>

#include "job/compression.h"
#include "job/output_target.h"

namespace tessarune::job {

// Gzip for a name that ends in ".gz", Zstd for ".zst", else None.
Compression compression_for_output(std::string_view name);

// A target that writes what it is given compressed into `inner`, in writes of 1 MiB: gzip (one
// member, deflate level 3) or zstd (one frame at level 3, with the checksum of its text).
// commit() ends the stream, writes the rest and commits `inner`; discard() discards it. Beside
// the 1 MiB buffer, the compressor holds about 270 KiB (gzip) or 3.5 MiB (zstd).
// REQUIRES: compression is Gzip or Zstd.
std::unique_ptr<OutputTarget> compressed_output(std::unique_ptr<OutputTarget> inner, Compression compression);

}  // namespace tessarune::job
