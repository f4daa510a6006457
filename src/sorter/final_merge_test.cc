#include "sorter/final_merge.h"

#include <gtest/gtest.h>

#include "base/testing/random_records.h"
#include "merge/memory_source.h"
#include "sorter/testing/engine_testing.h"

namespace tessarune {
namespace {

namespace tt = tessarune::testing;

// A final merge over one held record, in a spill directory of its own.
FinalMerge merge_in(const tt::TempBase& base) {
    RecordBuffer held;
    held.append(tt::as_bytes("k"), tt::as_bytes("v"));
    std::vector<std::unique_ptr<MergeSource>> sources;
    sources.push_back(std::make_unique<MemorySource>(std::move(held)));
    return FinalMerge(new_merger(std::move(sources)).value(),
                      create_spill_dir(FileOps::system(), base.path()).value());
}

TEST(FinalMerge, TheSpillDirectoryGoesWhenTheMergeEndsOrIsDropped) {
    tt::TempBase base;
    {
        FinalMerge merge = merge_in(base);
        EXPECT_NE(base.spill_dir(), "");
        RecordView record;
        ASSERT_TRUE(merge.merge_next(&record).value());
        EXPECT_NE(base.spill_dir(), "") << "removed before the merge ended";
        ASSERT_FALSE(merge.merge_next(&record).value());
        EXPECT_TRUE(base.entries().empty());
    }
    {
        FinalMerge merge = merge_in(base);
        EXPECT_NE(base.spill_dir(), "");
    }
    EXPECT_TRUE(base.entries().empty());
}

}  // namespace
}  // namespace tessarune
