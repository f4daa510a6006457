#include "base/growable_array.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace tessarune {
namespace {

// Capacities that cross the size at which storage is mapped, both ways, and grow and shrink
// mapped storage in place: the elements kept are the same after every step.
TEST(GrowableArray, KeepsItsElementsAcrossEveryKindOfStorage) {
    const size_t threshold = kMappedStorageBytes / sizeof(uint64_t);
    GrowableArray<uint64_t> array;
    std::vector<uint64_t> model;
    for (const size_t capacity : {size_t{10}, threshold - 1, threshold, 3 * threshold + 7, threshold + 1,
                                  threshold / 2, 5 * threshold, size_t{3}}) {
        while (model.size() < capacity) {
            model.push_back(model.size() * 0x9E3779B97F4A7C15ull);
            array.push_back(model.back());
        }
        model.resize(capacity);
        array.set_size(capacity);
        array.set_capacity(capacity);
        ASSERT_EQ(array.capacity(), capacity);
        ASSERT_TRUE(std::equal(model.begin(), model.end(), array.begin())) << "capacity " << capacity;
    }
    GrowableArray<uint64_t> moved(std::move(array));
    EXPECT_EQ(moved.size(), 3u);
    moved.release();
    EXPECT_EQ(moved.capacity(), 0u);
}

}  // namespace
}  // namespace tessarune
