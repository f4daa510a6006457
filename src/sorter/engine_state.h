// EngineState: what a SorterCore holds in each of its states.
//
//   Filling  --start_read(keep)-->  Reading (FinalMerge + ReadBatch)  --merge ends-->  Read
//   Filling  --start_read(!keep)--> Read (the FinalMerge went to the caller)
//   Filling / Reading --failure or interruption--> Stopped
//   any --close--> Closed
//
// Changing the state releases what it held: a Filling (see filling.h), or a FinalMerge,
// which removes the spill directory.
#pragma once

#include <memory>
#include <utility>
#include <variant>

#include "sorter/filling.h"
#include "sorter/final_merge.h"
#include "sorter/sorter_core.h"

namespace tessarune {

class EngineState {
public:
    struct Reading {
        FinalMerge merge;
        ReadBatch batch;
    };
    struct Read {};
    struct Stopped {};
    struct Closed {};

    explicit EngineState(std::unique_ptr<Filling> filling) : v_(std::move(filling)) {}
    EngineState() : v_(Closed{}) {}

    StateKind kind() const { return static_cast<StateKind>(v_.index()); }

    // REQUIRES: the state is of that kind.
    Filling& filling() const {
        TR_CHECK(kind() == StateKind::Filling);
        return *std::get<0>(v_);
    }
    Reading& reading() {
        TR_CHECK(kind() == StateKind::Reading);
        return std::get<Reading>(v_);
    }

    void set_reading(FinalMerge merge) { v_ = Reading{std::move(merge), ReadBatch{}}; }
    void set_read() { v_ = Read{}; }
    void set_stopped() { v_ = Stopped{}; }

    // Moves the Filling out, leaving Read. REQUIRES: kind() == Filling.
    std::unique_ptr<Filling> take_filling() {
        TR_CHECK(kind() == StateKind::Filling);
        std::unique_ptr<Filling> taken = std::move(std::get<0>(v_));
        v_ = Read{};
        return taken;
    }

private:
    // In StateKind's order.
    std::variant<std::unique_ptr<Filling>, Reading, Read, Stopped, Closed> v_;
};

}  // namespace tessarune
