#include "sorter/engine_state.h"

#include <utility>

#include "base/engine_error.h"

namespace tessarune {

FillingState::FillingState(std::string base_dir, uint64_t max_bytes_, uint64_t max_open_,
                           uint64_t threads_, std::shared_ptr<SortPool> pool_,
                           std::shared_ptr<FileOps> ops_)
    : base(std::move(base_dir)),
      max_bytes(max_bytes_),
      max_open(max_open_),
      threads(threads_),
      pool(std::move(pool_)),
      half_budget(max_bytes_ / 2),
      ops(std::move(ops_)) {}

FillingState::~FillingState() {
    // The spill thread still uses its buffer, its file in the spill directory and its own pool
    // reference: it has to end before any of them goes.
    spill_job.reset();
    filling.release();
    spare.reset();
    pool.reset();
    spill_dir.reset();
}

StateKind EngineState::kind() const {
    switch (v_.index()) {
        case 0: return StateKind::Filling;
        case 1: return StateKind::Reading;
        case 2: return StateKind::Read;
        case 3: return StateKind::Stopped;
        default: return StateKind::Closed;
    }
}

FillingState& EngineState::filling() {
    auto* f = std::get_if<Filling>(&v_);
    TR_CHECK(f != nullptr && f->state != nullptr);
    return *f->state;
}

const FillingState& EngineState::filling() const {
    auto* f = std::get_if<Filling>(&v_);
    TR_CHECK(f != nullptr && f->state != nullptr);
    return *f->state;
}

EngineState::Reading& EngineState::reading() {
    auto* r = std::get_if<Reading>(&v_);
    TR_CHECK(r != nullptr);
    return *r;
}

const EngineState::Reading& EngineState::reading() const {
    auto* r = std::get_if<Reading>(&v_);
    TR_CHECK(r != nullptr);
    return *r;
}

void EngineState::set_reading(std::unique_ptr<Merger> merger) {
    TR_CHECK(merger != nullptr);
    v_ = Reading{std::move(merger), ReadBatch{}};
}

std::unique_ptr<FillingState> EngineState::take_filling() {
    auto* f = std::get_if<Filling>(&v_);
    TR_CHECK(f != nullptr && f->state != nullptr);
    std::unique_ptr<FillingState> taken = std::move(f->state);
    v_ = Read{};
    return taken;
}

}  // namespace tessarune
