// The compressed formats the job reads (all four) and writes (gzip and zstd).
#pragma once

#include <cstdint>
#include <string_view>

namespace tessarune::job {

enum class Compression : uint8_t { None, Gzip, Zstd, Bzip2, Xz };

// "gzip", "zstd", "bzip2", "xz", as messages name the format.
constexpr std::string_view compression_name(Compression compression) {
    switch (compression) {
        case Compression::Gzip: return "gzip";
        case Compression::Zstd: return "zstd";
        case Compression::Bzip2: return "bzip2";
        case Compression::Xz: return "xz";
        case Compression::None: break;
    }
    return "plain";
}

}  // namespace tessarune::job
