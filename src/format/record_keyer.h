// RecordKeyer: one input format's way through a buffer of input, a record at a time.
//
// The bulk adding path hands a keyer the unread part of its buffer again and again; the keyer
// finds where the record at the front ends, appends its key bytes to the caller's buffer and
// says what to store as its payload. Records are asked for once each, in order (a keyer may
// count lines as it goes); after NeedMore the same record is asked for again with more input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/growable_array.h"

namespace tessarune::format {

enum class RecordStep : uint8_t {
    Record,    // `payload` is the record, its key was appended
    Skipped,   // a blank line that holds no record: step over `length` bytes
    NeedMore,  // the record may go on past the input: read more, then ask again
    Declined,  // this keyer cannot key this record exactly: key it the reference way
    Bad,       // the input is wrong here: `error` says why, on line `lines` + 1 of the record
};

struct KeyedRecord {
    RecordStep step = RecordStep::NeedMore;
    size_t length = 0;  // input bytes the record spans, its end included
    size_t lines = 0;   // physical lines those bytes hold (Bad: lines before the bad one)
    Bytes payload;      // Record, Declined: what to store (a view into the input)
    std::string error;  // Bad
};

class RecordKeyer {
public:
    virtual ~RecordKeyer() = default;
    // Reads the record at the front of `input` and, for a Record, appends its key to `key`.
    // `at_end`: no input follows, so a record cut short is an error, not NeedMore. The
    // payload's view stays valid while `input` does.
    virtual KeyedRecord next(Bytes input, bool at_end, ByteBuffer& key) = 0;
    // JSON Lines: for each key, whether any record read so far had its field; null for a
    // format whose keys cannot be missing.
    virtual const std::vector<bool>* keys_found() const { return nullptr; }
};

}  // namespace tessarune::format
