// The renderers' fast text of doubles must be formatDouble's text exactly.
#include "render/common.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>

namespace kvdn {
namespace {

std::string fast(double d) {
  std::string out;
  render::appendDouble(out, d);
  return out;
}

TEST(AppendDoubleTest, MatchesFormatDouble) {
  const double edges[] = {0.0,
                          -0.0,
                          0.1,
                          0.25,
                          1.0 / 3,
                          2.0 / 3,
                          0.1 + 0.2,
                          100.0,
                          1234.5,
                          0.0001,
                          0.00009999,
                          0.000099999999999999995,
                          1.5e-5,
                          123456789012345.0,
                          999999999999999.0,
                          999999999999999.9,
                          1e15,
                          1234567890123456.0,
                          1e300,
                          5e-324,
                          std::numeric_limits<double>::max(),
                          std::numeric_limits<double>::infinity(),
                          std::numeric_limits<double>::quiet_NaN(),
                          -42.125,
                          -0.0005};
  for (double d : edges) {
    EXPECT_EQ(fast(d), formatDouble(d)) << d;
    EXPECT_EQ(fast(-d), formatDouble(-d)) << -d;
  }

  std::mt19937_64 rng(20240607);
  std::uniform_int_distribution<std::int64_t> whole(-10000000, 10000000);
  std::uniform_int_distribution<int> scale(0, 20);
  for (int i = 0; i < 200000; ++i) {
    // Decimal-looking values as a database holds them, and arbitrary bits.
    const double decimal = static_cast<double>(whole(rng)) / std::pow(10.0, scale(rng));
    EXPECT_EQ(fast(decimal), formatDouble(decimal)) << decimal;
    const std::uint64_t bits = rng();
    double any;
    std::memcpy(&any, &bits, sizeof any);
    EXPECT_EQ(fast(any), formatDouble(any)) << any;
  }
}

}  // namespace
}  // namespace kvdn
