// What the tests of every layer share, from the lowest one up: catching a
// hard failure as its text. Each layer's own test_support.hpp includes it.
#pragma once

#include <string>

#include "crypto/failure.hpp"

namespace quillet::testing {

// What hard_failure_text gives when `f` returns.
inline const std::string kNoFailure = "<no hard failure>";

// The text of the hard failure `f()` ends with, or kNoFailure.
template <class F>
std::string hard_failure_text(F&& f) {
  try {
    f();
  } catch (const HardFailure& e) {
    return e.text();
  }
  return kNoFailure;
}

}  // namespace quillet::testing
