// The job's poll from Python: attaches, runs the signal handlers (PyErr_CheckSignals), and
// gives up once one of them raised, or once any other callback of the session failed.
//
// The job's engine is its own, and no Python object reaches it, so a handler that runs while
// the job's thread holds the engine's mutex cannot wait for that mutex.
#pragma once

#include "python/job_session.h"
#include "sorter/poll.h"

namespace tessarune::python {

class PythonPoll final : public Poll {
public:
    explicit PythonPoll(JobSession& session) : session_(session) {}
    bool give_up() override {
        return !session_.call([] { return PyErr_CheckSignals(); });
    }

private:
    JobSession& session_;
};

}  // namespace tessarune::python
