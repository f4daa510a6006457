// PolledInputs: a FileOps that passes every call to another one, but asks a poll before each
// read of an input file, and again when a read was interrupted by a signal. The job's engine
// asks its poll only while it waits or merges; reading a large input, or standing by a pipe
// that is slow to fill, must answer Ctrl-C too. A poll that gives up fails the read with
// GaveUp.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <utility>

#include "run/forwarding_file_ops.h"
#include "sorter/poll.h"

namespace tessarune::python {

class PolledInputs final : public ForwardingFileOps {
public:
    // `poll` outlives this. Each read asks for at most `most_per_read` bytes (0: no limit),
    // so that a test can cut records across reads.
    PolledInputs(std::shared_ptr<FileOps> inner, Poll& poll, size_t most_per_read = 0)
        : ForwardingFileOps(std::move(inner)), poll_(poll), most_per_read_(most_per_read) {}

    EngineResult<std::unique_ptr<ReadableFile>> open_input(const std::string& path) override {
        return polled(inner().open_input(path));
    }
    EngineResult<std::unique_ptr<ReadableFile>> standard_input() override { return polled(inner().standard_input()); }

private:
    EngineResult<std::unique_ptr<ReadableFile>> polled(EngineResult<std::unique_ptr<ReadableFile>> opened);

    Poll& poll_;
    size_t most_per_read_;
};

}  // namespace tessarune::python
