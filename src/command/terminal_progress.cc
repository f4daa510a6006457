#include "command/terminal_progress.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace tessarune::command {
namespace {

constexpr auto kRedrawEvery = std::chrono::milliseconds(200);

void write_all(int fd, const char* data, size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(fd, data, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return;
        data += w;
        n -= static_cast<size_t>(w);
    }
}

}  // namespace

TerminalProgress::TerminalProgress(int fd, bool wanted) : fd_(fd), enabled_(wanted && ::isatty(fd) == 1) {}

void TerminalProgress::start_reading(std::optional<uint64_t> total_bytes) {
    phase_ = "reading";
    unit_ = "B";
    done_ = 0;
    total_ = total_bytes;
    draw(true);
}

void TerminalProgress::read_bytes(uint64_t bytes) {
    done_ += bytes;
    draw(false);
}

void TerminalProgress::start_writing(uint64_t total_records) {
    if (enabled_ && ::isatty(1) == 1) {
        // The records go to the same terminal: a bar drawn between them would end up in the data.
        finish();
        enabled_ = false;
        return;
    }
    phase_ = "writing";
    unit_ = "records";
    done_ = 0;
    total_ = total_records;
    draw(true);
}

void TerminalProgress::wrote_records(uint64_t records) {
    done_ += records;
    draw(false);
}

void TerminalProgress::finish() {
    if (!drawn_) return;
    static constexpr char kClear[] = "\r\033[K";
    write_all(fd_, kClear, sizeof kClear - 1);
    drawn_ = false;
}

void TerminalProgress::draw(bool force) {
    if (!enabled_) return;
    const auto now = std::chrono::steady_clock::now();
    if (!force && now - last_ < kRedrawEvery) return;
    last_ = now;
    char line[128];
    const bool bytes = unit_[0] == 'B';
    const double shown = bytes ? static_cast<double>(done_) / 1048576.0 : static_cast<double>(done_);
    const char* unit = bytes ? "MiB" : unit_;
    int n = 0;
    if (total_ && *total_ > 0) {
        const double percent = 100.0 * static_cast<double>(done_) / static_cast<double>(*total_);
        n = std::snprintf(line, sizeof line, "\r\033[K%s: %3.0f%% (%.0f %s)", phase_, percent > 100 ? 100 : percent,
                          shown, unit);
    } else {
        n = std::snprintf(line, sizeof line, "\r\033[K%s: %.0f %s", phase_, shown, unit);
    }
    if (n > 0) write_all(fd_, line, static_cast<size_t>(n) < sizeof line ? static_cast<size_t>(n) : sizeof line - 1);
    drawn_ = true;
}

void say(const std::string& text, TerminalProgress* progress) {
    if (progress != nullptr) progress->finish();
    write_all(2, text.data(), text.size());
}

}  // namespace tessarune::command
