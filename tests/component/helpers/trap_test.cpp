// The keep-going trap: a ComError is a skipped step, anything else passes.
#include "helpers/trap.h"

#include <gtest/gtest.h>

#include <new>
#include <optional>

namespace kvdn {
namespace {

TEST(Trap, ASkippedStepReportsItsErrorAndTheCallerGoesOn) {
  std::optional<std::int32_t> seen;
  int after = 0;
  const bool done = trap::keepGoing(
      [&] {
        raise(err::kTypeMismatch);
        after = 1;  // never reached
      },
      [&](const ComError& e) { seen = e.number(); });
  EXPECT_FALSE(done);
  EXPECT_EQ(after, 0);
  EXPECT_EQ(seen, err::kTypeMismatch);
  EXPECT_TRUE(trap::keepGoing([&] { after = 2; }));
  EXPECT_EQ(after, 2);
}

TEST(Trap, OnlyComErrorIsTrapped) {
  EXPECT_THROW(trap::keepGoing([] { throw std::bad_alloc(); }), std::bad_alloc);
  EXPECT_THROW(trap::holds([]() -> bool { throw std::logic_error("fault"); }), std::logic_error);
}

TEST(Trap, AConditionThatFailsIsFalse) {
  struct Case {
    bool raises;
    bool value;
    bool expected;
  } cases[] = {{false, true, true}, {false, false, false}, {true, true, false}};
  for (const auto& c : cases) {
    EXPECT_EQ(trap::holds([&] {
                if (c.raises) raise(err::kInvalidNull);
                return c.value;
              }),
              c.expected);
  }
}

}  // namespace
}  // namespace kvdn
