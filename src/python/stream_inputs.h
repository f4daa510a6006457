// StreamInputs: a FileOps whose inputs may be Python binary file objects as well as paths.
// sort_files names each object (its `name`, or "<stream N>", never a name another input has),
// and the job opens and reads it by that name like a file: each read attaches to the
// interpreter for one call of the object's readinto (or read). What the object raises is kept
// by the session and raised, unchanged, when the job has ended.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>
#include <string>
#include <vector>

#include "python/job_session.h"
#include "run/forwarding_file_ops.h"

namespace tessarune::python {

struct PythonStream {
    std::string name;
    PyObject* object = nullptr;  // borrowed: the caller's argument holds it for the job's length
    bool readinto = false;       // has a readinto method; read(n) otherwise
};

class StreamInputs final : public ForwardingFileOps {
public:
    // `session` outlives this; the streams' names differ from each other and from every path
    // the job is given.
    StreamInputs(std::shared_ptr<FileOps> inner, std::vector<PythonStream> streams, JobSession& session)
        : ForwardingFileOps(std::move(inner)), streams_(std::move(streams)), session_(session) {}

    EngineResult<InputStatus> input_status(const std::string& path) override;
    EngineResult<std::unique_ptr<ReadableFile>> open_input(const std::string& path) override;

private:
    const PythonStream* find(const std::string& name) const;

    std::vector<PythonStream> streams_;
    JobSession& session_;
};

}  // namespace tessarune::python
