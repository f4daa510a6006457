// Compressed input throughput: a file read to its end through read_decompressed alone, in the
// job's 1 MiB reads, timed by the wall and by the CPU of the whole process (both threads).
// Compare with the format's own tool on the same file, e.g.
//     /usr/bin/time -f '%e s wall, %U+%S s CPU' zcat FILE > /dev/null
// The reader should cost little more CPU than the tool. With WORK > 0 the reading thread also
// passes WORK times over each chunk it reads, standing in for the keying: on two free cores
// the wall time should then be nearer the larger of the two than their sum.
//
// Usage: decompress_bench FILE [repetitions, default 3] [WORK, default 0]
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "job/compressed_input.h"
#include "run/file_ops.h"

namespace tessarune {
namespace {

double process_cpu_seconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Passes over the bytes that the compiler cannot drop.
uint64_t busy_work(const uint8_t* data, size_t n, int passes) {
    uint64_t sum = 0;
    for (int pass = 0; pass < passes; ++pass) {
        for (size_t i = 0; i < n; ++i) sum = sum * 31 + data[i];
    }
    return sum;
}

int run(const std::string& path, int repetitions, int work) {
    std::vector<uint8_t> buffer(size_t{1} << 20);
    for (int i = 0; i < repetitions; ++i) {
        const auto wall_start = std::chrono::steady_clock::now();
        const double cpu_start = process_cpu_seconds();
        EngineResult<std::unique_ptr<ReadableFile>> file = FileOps::system()->open_input(path);
        if (!file) {
            std::fprintf(stderr, "%s: %s\n", path.c_str(), file.error().message().c_str());
            return 1;
        }
        EngineResult<std::unique_ptr<ReadableFile>> text = job::read_decompressed(std::move(*file), path);
        if (!text) {
            std::fprintf(stderr, "%s\n", text.error().message().c_str());
            return 1;
        }
        uint64_t total = 0;
        uint64_t checksum = 0;
        for (;;) {
            EngineResult<size_t> got = (*text)->read(buffer.data(), buffer.size());
            if (!got) {
                if (got.error().kind() == ErrorKind::Interrupted) continue;
                std::fprintf(stderr, "%s\n", got.error().message().c_str());
                return 1;
            }
            if (*got == 0) break;
            total += *got;
            checksum += busy_work(buffer.data(), *got, work);
        }
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start).count();
        const double cpu = process_cpu_seconds() - cpu_start;
        std::printf("%s: %.1f MiB of text in %.3f s wall (%.0f MiB/s), %.3f s CPU (work %d: %llx)\n",
                    path.c_str(), static_cast<double>(total) / (1 << 20), wall,
                    static_cast<double>(total) / (1 << 20) / wall, cpu, work,
                    static_cast<unsigned long long>(checksum & 0xfff));
    }
    return 0;
}

}  // namespace
}  // namespace tessarune

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: decompress_bench FILE [repetitions] [work]\n");
        return 2;
    }
    return tessarune::run(argv[1], argc > 2 ? std::atoi(argv[2]) : 3, argc > 3 ? std::atoi(argv[3]) : 0);
}
