// TerminalProgress: the --progress display, one line on standard error, drawn only when that
// is a terminal. It is cleared before anything else is written there (say() does that), and
// when the job ends, so that no stray bar is left behind the prompt or inside a message.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "job/job_progress.h"

namespace tessarune::command {

class TerminalProgress final : public job::JobProgress {
public:
    // fd: where to draw (2); draws nothing unless `wanted` and fd is a terminal.
    TerminalProgress(int fd, bool wanted);
    ~TerminalProgress() override { finish(); }

    void start_reading(std::optional<uint64_t> total_bytes) override;
    void read_bytes(uint64_t bytes) override;
    void start_writing(uint64_t total_records) override;
    void wrote_records(uint64_t records) override;
    void finish() override;  // clears the line

private:
    void draw(bool force);

    int fd_;
    bool enabled_;
    bool drawn_ = false;
    const char* phase_ = "reading";
    const char* unit_ = "B";
    uint64_t done_ = 0;
    std::optional<uint64_t> total_;
    std::chrono::steady_clock::time_point last_{};
};

// Writes text to standard error, whole, ignoring failures: a message is never worth a second
// failure. Clears the progress line first when there is one.
void say(const std::string& text, TerminalProgress* progress = nullptr);

}  // namespace tessarune::command
