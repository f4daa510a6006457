#include "command/stats_report.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

namespace tessarune::command {
namespace {

std::string line(const char* format, auto... values) {
    char text[160];
    const int n = std::snprintf(text, sizeof text, format, values...);
    return std::string(text, n > 0 ? std::min(static_cast<size_t>(n), sizeof text - 1) : 0) + "\n";
}

double mib(uint64_t n) { return static_cast<double>(n) / 1048576.0; }
double seconds(uint64_t ns) { return static_cast<double>(ns) / 1e9; }

// 1234567 as "1,234,567".
std::string grouped(uint64_t n) {
    std::string digits = std::to_string(n);
    for (size_t i = digits.size(); i > 3; i -= 3) digits.insert(i - 3, ",");
    return digits;
}

}  // namespace

std::string format_stats(const job::JobReport& report) {
    const StatsSnapshot& s = report.stats;
    return "tessarune: stats\n" + line("  items          %s", grouped(s.items).c_str()) +
           line("  bytes in       %.1f MiB", mib(report.bytes_read)) +
           line("  runs spilled   %" PRIu64, s.runs_spilled) + line("  merge passes   %" PRIu64, s.merge_passes) +
           line("  spilled        %.1f MiB (%.1f MiB compressed)", mib(s.bytes_spilled), mib(s.bytes_spilled_compressed)) +
           line("  peak memory    %.1f MiB", mib(s.peak_memory)) +
           line("  reading input  %.2f s (waiting for spills %.2f s)", seconds(s.fill_ns), seconds(s.spill_wait_ns)) +
           line("  spilling       %.2f s (alongside reading)", seconds(s.spill_ns)) +
           line("  merge passes   %.2f s", seconds(s.merge_pass_ns)) +
           line("  last sort      %.2f s", seconds(s.last_sort_ns)) +
           line("  merge, output  %.2f s", seconds(s.read_ns));
}

}  // namespace tessarune::command
