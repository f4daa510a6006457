// The adding path of the Filling state: records go into the filling half, and a full half
// goes to a spill (spill.h) while the other half fills. Every function runs under the
// engine's mutex.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/expected.h"
#include "base/record_buffer.h"

namespace tessarune {

class Poll;
struct FillingState;

// add_record on the Filling state: appends the record, handing a full half to a new spill
// first (waiting for the previous one). With PayloadSource::KeyBytes, payload is ignored.
EngineStatus add_to_filling(FillingState& state, Bytes key, Bytes payload, PayloadSource source,
                            Poll& poll);
EngineStatus add_to_filling(FillingState& state, Bytes key, Bytes payload, Poll& poll);

// The part of add_to_filling that never waits: true when the record was appended, false
// (nothing done) when the filling half is full, so that appending needs a spill.
EngineResult<bool> try_add_to_filling(FillingState& state, Bytes key, Bytes payload,
                                      PayloadSource source);

// try_add_to_filling for the record add_encoded(raw, raw) makes of a bytes object without
// zero bytes: key `TAG_BYTES raw 00 00`, payload stored once, inside it. The key is written
// straight into the arena.
EngineResult<bool> try_add_bytes_to_filling(FillingState& state, Bytes raw);

// What try_add_lines_to_filling took of its text.
struct LinesTaken {
    size_t bytes = 0;  // whole lines, each with its separator
    size_t lines = 0;
};

// try_add_bytes_to_filling for each line of `text` (without the `separator` that ends it),
// in order, for as long as the lines fit in the filling half as it stands: at most
// max_lines, and stopping before a line without a separator after it, a line that holds a
// zero byte (looked for only when may_hold_zero), or a line that the half has no room for.
// The line it stopped before is for the one-record paths, which wait, grow or refuse.
EngineResult<LinesTaken> try_add_lines_to_filling(FillingState& state, Bytes text, uint8_t separator,
                                                  bool may_hold_zero, size_t max_lines);

// Whether adding a record of this size finds the filling half full (and so may wait).
bool filling_is_full_for(const FillingState& state, uint64_t key_length, uint64_t payload_length,
                         PayloadSource source = PayloadSource::Given);

}  // namespace tessarune
