// Bucket blocks: records with their key bytes, framed and LZ4-compressed, for handing a shard's
// records from one process to another through a file. (The layout is documented at the top of
// bucket_block.cc.)
//
// Unlike a run, a bucket is not sorted and every block holds whole records, so a reader can
// take a file block by block, in pieces of any size, without state between pieces beyond the
// bytes of a block it has not seen whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/growable_array.h"

namespace tessarune {

// Stored length, raw length, XXH3 of the raw bytes.
inline constexpr size_t kBucketBlockHeaderSize = 16;
// A block is sealed once its records reach this many raw bytes (a longer record makes a
// longer block).
inline constexpr size_t kBucketBlockTarget = 131072;

// Collects records for one bucket and seals them into blocks.
// Thread safety: one thread at a time.
class BucketBlockWriter {
public:
    // REQUIRES: key and payload each shorter than 2^32 bytes.
    void add(Bytes key, Bytes payload);
    // The raw bytes of the records added since the last seal.
    size_t raw_size() const { return raw_.empty() ? 0 : raw_.size() - kBucketBlockHeaderSize; }
    // Makes what was added since the last seal one block, header included, and returns it
    // (empty when nothing was added): LZ4-compressed at `acceleration` (higher is faster and
    // compresses less) when that makes it smaller, else, and with acceleration 0, as it is.
    // The block is built where the records already are, to be written from there without a
    // copy: it stays valid until the next add or seal.
    Bytes seal(int acceleration);
    // The same, appended to `out`.
    void seal(ByteBuffer& out, int acceleration) { out.append(seal(acceleration)); }

private:
    ByteBuffer raw_;     // room for a block header, then the records
    ByteBuffer packed_;  // room for a block header, then the compressed records
};

enum class BucketStep : uint8_t {
    Block,     // `raw` holds the block's records; `length` bytes of input were taken
    NeedMore,  // the block goes on past the input
    Bad,       // `error` says what is wrong with the block at the front of the input
};

struct BucketBlock {
    BucketStep step = BucketStep::NeedMore;
    size_t length = 0;
    std::string error;
};

// Reads the block at the front of `input` into `raw` (replacing what it held), checking its
// lengths and its hash.
BucketBlock read_bucket_block(Bytes input, ByteBuffer& raw);

// Walks the records of a block's raw bytes. Every length is checked against the block.
class BucketRecords {
public:
    explicit BucketRecords(Bytes raw) : raw_(raw) {}
    // The next record, or false at the end of the block; `bad` set when a record runs past it.
    bool next(Bytes& key, Bytes& payload, bool& bad);

private:
    Bytes raw_;
    size_t at_ = 0;
};

}  // namespace tessarune
