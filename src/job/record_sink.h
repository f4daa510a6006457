// RecordSink: where the RecordFeeder puts the records it keys. The sort adds them to its engine;
// the cluster's bucket phase cuts them into key ranges. A sink that is an engine also takes
// whole lines in bulk, without a key per line.
#pragma once

#include "base/expected.h"
#include "base/growable_array.h"
#include "sorter/poll.h"
#include "sorter/sorter_core.h"

namespace tessarune::job {

class RecordSink {
public:
    virtual ~RecordSink() = default;
    // One record: its key bytes and what to store, both views valid for this call only.
    virtual EngineStatus add(Bytes key, Bytes payload) = 0;
    // The engine behind the sink, for the bulk way of adding whole lines (their payload then
    // lacks the separator, which the output puts back); null when every record goes through
    // add, the payload ending with its separator.
    virtual SorterCore* whole_line_core() { return nullptr; }
};

// The sort's sink: every record added to the engine. REQUIRES: the core's mutex held.
class CoreSink final : public RecordSink {
public:
    CoreSink(SorterCore& core, Poll& poll) : core_(core), poll_(poll) {}
    EngineStatus add(Bytes key, Bytes payload) override {
        return core_.add([&](Filling& f) { return f.add(key, payload, poll_); });
    }
    SorterCore* whole_line_core() override { return &core_; }

private:
    SorterCore& core_;
    Poll& poll_;
};

}  // namespace tessarune::job
