// The CPU quota of a cap and the percent a quota stands for.
#include <gtest/gtest.h>

#include "rcg/RcgQuota.h"

using namespace TqRcgCtrllr;

namespace {

TEST(rcgQuotaPercent, IsTheInverseOfTheQuota) {
    for (unsigned int percent : {1u, 25u, 50u, 100u}) {
        for (int processors : {1, 2, 4, 64}) {
            const std::uint64_t quota = ComputeCpuQuota(percent, processors);
            EXPECT_DOUBLE_EQ(percent, QuotaPercent(static_cast<std::int64_t>(quota), kCfsPeriodUs, processors))
                << percent << "% of " << processors;
        }
    }
    EXPECT_DOUBLE_EQ(12.5, QuotaPercent(25000, 100000, 2));
}

TEST(rcgQuotaPercent, IsNegativeWithoutALimitOrAFigure) {
    EXPECT_LT(QuotaPercent(-1, kCfsPeriodUs, 2), 0) << "no limit";
    EXPECT_LT(QuotaPercent(50000, 0, 2), 0) << "no period";
    EXPECT_LT(QuotaPercent(50000, kCfsPeriodUs, 0), 0) << "no processors";
}

}  // namespace
