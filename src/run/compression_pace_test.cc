#include "run/compression_pace.h"

#include <gtest/gtest.h>

namespace tessarune {
namespace {

// A tally of 1 MB compressed to `ratio` of it at `ns_per_byte`.
CompressionTally tally(double ratio, double ns_per_byte) {
    const uint64_t raw = 1000000;
    return CompressionTally{raw, static_cast<uint64_t>(ratio * raw), static_cast<uint64_t>(ns_per_byte * raw)};
}

TEST(CompressionPace, ThoroughOnlyWhereTheBytesSavedCostMoreThanSavingThem) {
    struct Case {
        const char* what;
        CompressionTally thorough, fast;
        double write_ns_per_byte;  // < 0: nothing written yet
        bool pays;
    };
    const Case cases[] = {
        {"log lines into the page cache", tally(0.53, 2.2), tally(0.9, 0.15), 0.4, false},
        {"log lines onto a slow disk", tally(0.53, 2.2), tally(0.9, 0.15), 7.0, true},
        {"no fast blocks yet: taken as stored as they are", tally(0.53, 2.2), {}, 2.5, true},
        {"random words onto a slow disk", tally(0.93, 2.3), tally(1.0, 0.15), 7.0, false},
        {"random bytes, however slow the disk", tally(1.004, 0.5), tally(1.004, 0.1), 100.0, false},
        {"nothing written yet", tally(0.53, 2.2), tally(0.9, 0.15), -1, false},
        {"no thorough blocks", {}, tally(0.9, 0.15), 7.0, false},
    };
    for (const Case& c : cases) {
        const uint64_t written = c.write_ns_per_byte < 0 ? 0 : 1000000;
        const uint64_t ns = c.write_ns_per_byte < 0 ? 0 : static_cast<uint64_t>(c.write_ns_per_byte * 1e6);
        EXPECT_EQ(thorough_compression_pays(c.thorough, c.fast, written, ns), c.pays) << c.what;
    }
}

// Fast from the start; a probe after 16 fast blocks; thorough while it pays, fast again when
// the writes become cheap.
TEST(CompressionPace, ProbesAndFollowsTheFigures) {
    CompressionPace pace;
    EXPECT_EQ(pace.acceleration(0), kFastAcceleration);
    pace.note_write(1000000, 7000000);  // 7 ns a byte
    for (int group = 0; group < 3; ++group) pace.note_group(4, {}, tally(0.9, 0.15));
    EXPECT_EQ(pace.acceleration(0), kFastAcceleration) << "12 fast blocks: no probe yet";
    pace.note_group(4, {}, tally(0.9, 0.15));
    EXPECT_EQ(pace.acceleration(0), kThoroughAcceleration) << "the probe";
    EXPECT_EQ(pace.acceleration(1), kFastAcceleration);
    pace.note_group(4, tally(0.53, 2.2), tally(0.9, 0.15));
    EXPECT_EQ(pace.acceleration(0), kThoroughAcceleration);
    EXPECT_EQ(pace.acceleration(3), kThoroughAcceleration) << "it pays: every block";
    pace.note_write(100000000, 0);  // writes now cheap on average: about 0.07 ns a byte
    pace.note_group(4, tally(0.53, 2.2), {});
    EXPECT_EQ(pace.acceleration(0), kFastAcceleration);
    EXPECT_FALSE(pace.probing());
}

}  // namespace
}  // namespace tessarune
