// Random records for sort and merge tests: keys drawn from a small alphabet and short
// lengths, so that equal keys and keys that are prefixes of others are common.
#pragma once

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/growable_array.h"
#include "base/record_buffer.h"

namespace tessarune::testing {

struct TestRecord {
    std::string key;
    std::string payload;
};

inline Bytes as_bytes(const std::string& s) {
    return Bytes(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}
inline std::string as_string(Bytes b) {
    return std::string(reinterpret_cast<const char*>(b.data()), b.size());
}

// Keys of 0 to max_key_length bytes over `alphabet` distinct byte values (0, 1, ..., and
// 255 as the last, so that both ends of the byte range appear). Payloads are random too,
// so that records with equal keys can be told apart.
inline std::vector<TestRecord> random_records(std::mt19937_64& rng, size_t count,
                                              size_t max_key_length, unsigned alphabet) {
    std::uniform_int_distribution<size_t> key_length(0, max_key_length);
    std::uniform_int_distribution<unsigned> symbol(0, alphabet - 1);
    std::uniform_int_distribution<size_t> payload_length(0, 12);
    std::uniform_int_distribution<int> byte(0, 255);
    std::vector<TestRecord> records(count);
    for (TestRecord& r : records) {
        const size_t kl = key_length(rng);
        for (size_t i = 0; i < kl; ++i) {
            const unsigned s = symbol(rng);
            r.key.push_back(static_cast<char>(s + 1 == alphabet ? 255 : s));
        }
        const size_t pl = payload_length(rng);
        for (size_t i = 0; i < pl; ++i) r.payload.push_back(static_cast<char>(byte(rng)));
    }
    return records;
}

// A new seed for every run; tests print it (SCOPED_TRACE) so that a failure can be replayed.
inline uint64_t fresh_seed() {
    std::random_device device;
    return (uint64_t{device()} << 32) ^ device();
}

// The adding positions of `records` in the order the sorter must produce: key bytes as
// unsigned values (std::string compares chars as unsigned), equal keys in adding order.
inline std::vector<size_t> expected_order(const std::vector<TestRecord>& records) {
    std::vector<size_t> order(records.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return records[a].key < records[b].key; });
    return order;
}

inline RecordBuffer buffer_of(const std::vector<TestRecord>& records) {
    RecordBuffer buffer;
    for (const TestRecord& r : records) buffer.append(as_bytes(r.key), as_bytes(r.payload));
    return buffer;
}

// Whether the entry table of buffer_of(records) now lists exactly the model's order.
inline ::testing::AssertionResult sorted_like_model(const RecordBuffer& buffer,
                                                   const std::vector<TestRecord>& records) {
    std::vector<uint64_t> offsets(records.size());
    uint64_t offset = 0;
    for (size_t i = 0; i < records.size(); ++i) {
        offsets[i] = offset;
        offset += records[i].key.size() + records[i].payload.size();
    }
    const std::vector<size_t> order = expected_order(records);
    if (buffer.record_count() != records.size()) {
        return ::testing::AssertionFailure() << "record count " << buffer.record_count();
    }
    for (size_t j = 0; j < order.size(); ++j) {
        const RecordEntry& e = buffer.entries()[j];
        const TestRecord& want = records[order[j]];
        if (e.offset != offsets[order[j]] || e.key_length != want.key.size() ||
            e.payload_length != want.payload.size()) {
            return ::testing::AssertionFailure()
                   << "position " << j << " holds the record added at offset " << e.offset
                   << ", expected the one added " << order[j] << "th (offset "
                   << offsets[order[j]] << ")";
        }
    }
    return ::testing::AssertionSuccess();
}

}  // namespace tessarune::testing
