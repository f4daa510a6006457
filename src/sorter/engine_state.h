// What a SorterCore holds in each of its states.
//
//   Filling  --start_read(keep)-->  Reading (FinalMerge + ReadBatch)  --merge ends-->  Read
//   Filling  --start_read(!keep)--> Read (the FinalMerge went to the caller)
//   Filling / Reading --failure or interruption--> Stopped
//   any --close--> Closed
//
// Replacing the state releases what it held: a Filling (see filling.h), or a FinalMerge,
// which removes the spill directory.
#pragma once

#include <memory>
#include <variant>

#include "sorter/filling.h"
#include "sorter/final_merge.h"
#include "sorter/sorter_core.h"

namespace tessarune {

struct EngineState {
    struct Reading {
        FinalMerge merge;
        ReadBatch batch;
    };
    struct Read {};
    struct Stopped {};
    struct Closed {};

    // In StateKind's order.
    std::variant<std::unique_ptr<Filling>, Reading, Read, Stopped, Closed> v;

    StateKind kind() const { return static_cast<StateKind>(v.index()); }
};

}  // namespace tessarune
