#include "command/stats_report.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

namespace tessarune::command {
namespace {

std::string line(const char* format, auto... values) {
    char text[160];
    const int n = std::snprintf(text, sizeof text, format, values...);
    std::string out(text, n > 0 ? std::min(static_cast<size_t>(n), sizeof text - 1) : 0);
    out += '\n';
    return out;
}

double mib(uint64_t n) { return static_cast<double>(n) / 1048576.0; }
double seconds(uint64_t ns) { return static_cast<double>(ns) / 1e9; }

// 1234567 as "1,234,567".
std::string grouped(uint64_t n) {
    const std::string digits = std::to_string(n);
    std::string out;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i != 0 && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return out;
}

}  // namespace

std::string format_stats(const job::JobReport& report) {
    const StatsSnapshot& s = report.stats;
    std::string text = "tessarune: stats\n";
    text += line("  items          %s", grouped(s.items).c_str());
    text += line("  bytes in       %.1f MiB", mib(report.bytes_read));
    text += line("  runs spilled   %" PRIu64, s.runs_spilled);
    text += line("  merge passes   %" PRIu64, s.merge_passes);
    text += line("  spilled        %.1f MiB (%.1f MiB compressed)", mib(s.bytes_spilled), mib(s.bytes_spilled_compressed));
    text += line("  peak memory    %.1f MiB", mib(s.peak_memory));
    text += line("  reading input  %.2f s (waiting for spills %.2f s)", seconds(s.fill_ns), seconds(s.spill_wait_ns));
    text += line("  spilling       %.2f s (alongside reading)", seconds(s.spill_ns));
    text += line("  merge passes   %.2f s", seconds(s.merge_pass_ns));
    text += line("  last sort      %.2f s", seconds(s.last_sort_ns));
    text += line("  merge, output  %.2f s", seconds(s.read_ns));
    return text;
}

}  // namespace tessarune::command
