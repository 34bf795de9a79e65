// SPDX-License-Identifier: GPL-2.0 OR MIT
#include <AWB/AWB.h>
#include <gtest/gtest.h>

TEST(Layout, RecordSizesOnThisTarget) {
    EXPECT_GE(sizeof(AWBObject), 1636u);
}
