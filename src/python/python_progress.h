// The job's progress drawn by Python bars: `bars.bar(desc, total, unit)` makes a bar with
// update(n) and close(), as tessarune.progress.Progress does ("reading" in bytes, then
// "writing" in items). Each call attaches for its own length.
#pragma once

#include <cstdint>
#include <optional>

#include "job/job_progress.h"
#include "python/job_session.h"
#include "python/py_ref.h"

namespace tessarune::python {

class BarProgress final : public job::JobProgress {
public:
    // REQUIRES: attached when made and when dropped; the session outlives the calls.
    BarProgress(PyObject* bars, JobSession& session) : bars_(Ref::borrow(bars)), session_(session) {}

    void start_reading(std::optional<uint64_t> total_bytes) override;
    void read_bytes(uint64_t bytes) override { update(bytes); }
    void start_writing(uint64_t total_records) override;
    void wrote_records(uint64_t records) override { update(records); }
    void finish() override;

private:
    void open_bar(const char* desc, std::optional<uint64_t> total, const char* unit);
    void update(uint64_t n);
    int close_bar();  // attached: 0, or -1 with an exception set

    Ref bars_;
    Ref bar_;  // the bar drawn now, or none
    JobSession& session_;
};

}  // namespace tessarune::python
