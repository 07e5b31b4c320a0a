// Checking what a call raised: one helper for every test program.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>

#include "kvdn/error.h"

namespace kvdn::testing {

// Runs `f` and returns the number of the ComError it raised, or 0 when it
// raised nothing. Any other exception passes through (and fails the test).
inline std::int32_t errorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const ComError& e) {
    return e.number();
  }
  return 0;
}

}  // namespace kvdn::testing

// Expects `body` to raise ComError with `expected` and a description.
#define KVDN_EXPECT_DB_ERROR(body, expected)                \
  do {                                                      \
    try {                                                   \
      body;                                                 \
      ADD_FAILURE() << "no error from " #body;              \
    } catch (const ::kvdn::ComError& e) {                   \
      EXPECT_EQ(e.number(), (expected)) << e.description(); \
      EXPECT_FALSE(e.description().empty());                \
    }                                                       \
  } while (0)
