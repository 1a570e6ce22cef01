#include <gtest/gtest.h>

#include "codec/encoder.hpp"

TEST(Smoke, BuildsAndEncodes) {
    auto e = korvane::build_encoder(4, 2, 8, 8, 8);
    ASSERT_TRUE(e);
    std::vector<float> x{1, 0, -1, 0};
    auto c = korvane::encode_one(*e, x);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->idx, (std::vector<std::uint16_t>{1, 0}));
}
