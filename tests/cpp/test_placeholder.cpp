#include <gtest/gtest.h>

#include "wd1_reader.hpp"

TEST(Wd1SampleCount, OddAndEvenSizes) {
    EXPECT_EQ(pelvar::wd1_sample_count(24), 0u);
    EXPECT_EQ(pelvar::wd1_sample_count(27), 1u);
    EXPECT_FALSE(pelvar::wd1_sample_count(22).has_value());
}
