// The job's output when sort_files is given a handle: an OutputTarget whose writes attach to
// the interpreter and call handle.write. What the handle raises is kept by the session and
// raised, unchanged, when the job has ended.
#pragma once

#include <memory>

#include "job/output_target.h"
#include "python/handle_write.h"
#include "python/job_session.h"

namespace tessarune::python {

class HandleOutput final : public job::OutputTarget {
public:
    // REQUIRES: attached when made and when dropped; the session outlives the writes.
    HandleOutput(WriteHandle handle, JobSession& session) : handle_(std::move(handle)), session_(session) {}

    const std::string& name() const override { return name_; }
    EngineStatus open() override { return {}; }
    EngineStatus write(Bytes data) override;
    // The handle stays open: it is the caller's.
    EngineStatus commit() override { return {}; }
    void discard() override {}

private:
    WriteHandle handle_;
    JobSession& session_;
    const std::string name_ = "the output handle";
};

}  // namespace tessarune::python
