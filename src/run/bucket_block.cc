// Bucket file format
// ==================
//
// A bucket file is blocks back to back, nothing before the first and nothing after the last;
// an empty bucket has no blocks. Each block is stored as
//
//     offset 0   S   stored length, 4 bytes, unsigned, little-endian
//     offset 4   R   raw length, 4 bytes, unsigned, little-endian
//     offset 8   H   XXH3 64-bit hash (seed 0) of the R raw bytes, 8 bytes, little-endian
//     offset 16      S bytes: when S < R, the R raw bytes as one raw LZ4 block; when S = R,
//                    the raw bytes themselves (LZ4 did not make them smaller)
//
// with 1 <= S <= R. The raw bytes are whole records back to back, each
//
//     key length K      4 bytes, unsigned, little-endian
//     payload length P  4 bytes, unsigned, little-endian
//     key               K bytes
//     payload           P bytes
//
// A record never spans two blocks, so a block is read alone; the hash is checked before any
// of its records is handed out, as for a run block.
#include "run/bucket_block.h"

#include <lz4.h>

#include <cstring>

#include "base/little_endian.h"
#include "run/block_hash.h"

namespace tessarune {

void BucketBlockWriter::add(Bytes key, Bytes payload) {
    // The first record leaves room for the header that seal fills in.
    const size_t at = raw_.empty() ? kBucketBlockHeaderSize : raw_.size();
    const size_t end = at + 8 + key.size() + payload.size();
    raw_.reserve(end);
    raw_.set_size(end);
    uint8_t* to = raw_.data() + at;
    store_le32(to, static_cast<uint32_t>(key.size()));
    store_le32(to + 4, static_cast<uint32_t>(payload.size()));
    if (!key.empty()) std::memcpy(to + 8, key.data(), key.size());
    if (!payload.empty()) std::memcpy(to + 8 + key.size(), payload.data(), payload.size());
}

Bytes BucketBlockWriter::seal(int acceleration) {
    const size_t raw_length = raw_size();
    if (raw_length == 0) return {};
    const uint8_t* records = raw_.data() + kBucketBlockHeaderSize;
    uint8_t* block = raw_.data();
    size_t stored_length = raw_length;
    if (acceleration > 0 && raw_length <= static_cast<size_t>(LZ4_MAX_INPUT_SIZE)) {
        const int bound = LZ4_compressBound(static_cast<int>(raw_length));
        packed_.reserve(kBucketBlockHeaderSize + static_cast<size_t>(bound));
        const int packed = LZ4_compress_fast(reinterpret_cast<const char*>(records),
                                             reinterpret_cast<char*>(packed_.data() + kBucketBlockHeaderSize),
                                             static_cast<int>(raw_length), bound, acceleration);
        if (packed > 0 && static_cast<size_t>(packed) < raw_length) {
            block = packed_.data();
            stored_length = static_cast<size_t>(packed);
        }
    }
    store_le32(block, static_cast<uint32_t>(stored_length));
    store_le32(block + 4, static_cast<uint32_t>(raw_length));
    store_le64(block + 8, block_hash(records, raw_length));
    // Only the size goes: the block's bytes stay where they are until the next add.
    raw_.clear();
    return Bytes(block, kBucketBlockHeaderSize + stored_length);
}

BucketBlock read_bucket_block(Bytes input, ByteBuffer& raw) {
    BucketBlock block;
    if (input.size() < kBucketBlockHeaderSize) return block;
    const uint32_t stored_length = load_le32(input.data());
    const uint32_t raw_length = load_le32(input.data() + 4);
    if (stored_length == 0 || stored_length > raw_length) {
        block.step = BucketStep::Bad;
        block.error = "a bucket block's lengths are impossible (the file is damaged)";
        return block;
    }
    if (input.size() - kBucketBlockHeaderSize < stored_length) return block;
    const uint8_t* stored = input.data() + kBucketBlockHeaderSize;
    raw.clear();
    raw.reserve(raw_length);
    if (stored_length == raw_length) {
        std::memcpy(raw.data(), stored, raw_length);
    } else {
        const int decoded = LZ4_decompress_safe(reinterpret_cast<const char*>(stored),
                                                reinterpret_cast<char*>(raw.data()),
                                                static_cast<int>(stored_length),
                                                static_cast<int>(raw_length));
        if (decoded != static_cast<int>(raw_length)) {
            block.step = BucketStep::Bad;
            block.error = "a bucket block does not decompress (the file is damaged)";
            return block;
        }
    }
    raw.set_size(raw_length);
    if (block_hash(raw.data(), raw_length) != load_le64(input.data() + 8)) {
        block.step = BucketStep::Bad;
        block.error = "a bucket block's checksum does not match (the file is damaged)";
        return block;
    }
    block.step = BucketStep::Block;
    block.length = kBucketBlockHeaderSize + stored_length;
    return block;
}

bool BucketRecords::next(Bytes& key, Bytes& payload, bool& bad) {
    bad = false;
    const size_t left = raw_.size() - at_;
    if (left == 0) return false;
    if (left < 8) {
        bad = true;
        return false;
    }
    const uint8_t* p = raw_.data() + at_;
    const uint64_t key_length = load_le32(p);
    const uint64_t payload_length = load_le32(p + 4);
    if (left - 8 < key_length + payload_length) {
        bad = true;
        return false;
    }
    key = Bytes(p + 8, key_length);
    payload = Bytes(p + 8 + key_length, payload_length);
    at_ += 8 + key_length + payload_length;
    return true;
}

}  // namespace tessarune
