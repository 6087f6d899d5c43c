#include "cli/options.h"

#include <gtest/gtest.h>

TEST(Options, Placeholder) { EXPECT_EQ(framepick::parseDecimalInteger("5"), 5); }
