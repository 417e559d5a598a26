// One item of a batch call: exactly what its single call gives, value,
// returned error or hard failure.
#pragma once

#include <type_traits>
#include <utility>

#include "crypto/failure.hpp"
#include "sdk/src/error.hpp"

namespace quillet::sdk {

template <class T>
using ItemResult = Expected<Result<T>, HardFailure>;

// The outcome of call(), a single call returning a Result, its hard failure
// caught: what a batch gives an item it hands to the single call.
template <class Call>
auto run_item(const Call& call) {
  using T = std::remove_cvref_t<decltype(*call())>;
  try {
    return ItemResult<T>(call());
  } catch (HardFailure& failure) {
    return ItemResult<T>(unexpected(std::move(failure)));
  }
}

}  // namespace quillet::sdk
