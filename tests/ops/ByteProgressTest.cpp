#include "ops/ByteProgress.h"

#include <gtest/gtest.h>

namespace kestrel {
namespace {

TEST(ByteProgress, EndsBelowOneHundredAndRisesWhereNextRiseAfterSays) {
    struct Case {
        uint32_t length;
        int finalPercent;
    };
    for (const auto& [length, finalPercent] :
         {Case{0, 0}, Case{1, 1}, Case{40, 40}, Case{99, 99}, Case{100, 50}, Case{1'000, 90},
          Case{1'000'000, 99}, Case{0xFFFFFFFF, 99}}) {
        SCOPED_TRACE(length);
        const ByteProgress progress(length);
        EXPECT_EQ(progress.percentAfter(0), 0);
        EXPECT_EQ(progress.percentAfter(length), finalPercent);
        // The rise after `done` is the first byte count that shows one more.
        for (const uint64_t done : {uint64_t{0}, uint64_t{length} / 2, uint64_t{length}}) {
            const uint64_t rise = progress.nextRiseAfter(done);
            EXPECT_EQ(progress.percentAfter(rise - 1), progress.percentAfter(done));
            EXPECT_EQ(progress.percentAfter(rise), progress.percentAfter(done) + 1);
        }
    }
}

}  // namespace
}  // namespace kestrel
