// Checking the number of a data-layer failure.
#pragma once

#include <gtest/gtest.h>

#include "kvdn/error.h"

// Expects `body` to raise ComError with `number`.
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
