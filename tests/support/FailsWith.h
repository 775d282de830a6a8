// A check of a failing call's error that cannot pass on an error some earlier call left behind.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>

#include "platform/Platform.h"

namespace testing_support {

// A last error that no call sets: SetLastError(kPoisonedError) before a checked call.
inline constexpr std::uint32_t kPoisonedError = 0xDEADBEEFu;

// Poisons the last error with `poison`, runs `call`, which returns true when the call it makes
// failed, and checks that it failed with `error` as the last error.
template <typename Poison, typename Call>
::testing::AssertionResult FailsWith(Platform& os, std::uint32_t error, Poison poison, Call call) {
  poison();
  if (!call()) return ::testing::AssertionFailure() << "the call succeeded";
  const std::uint32_t got = os.lastError();
  if (got == error) return ::testing::AssertionSuccess();
  if (got == kPoisonedError) {
    return ::testing::AssertionFailure() << "the call set no error; expected " << error;
  }
  return ::testing::AssertionFailure() << "error " << got << ", expected " << error;
}

// The failure message of a check that expects a side's known difference from Windows: the side
// now answers as Windows does.
inline std::string DifferenceGone(const char* difference) {
  return std::string("the known difference is gone, this side now answers as Windows does: ") +
         difference;
}

}  // namespace testing_support
