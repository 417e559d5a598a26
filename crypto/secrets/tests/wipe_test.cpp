// Overwriting secrets: every path out of a guarded scope leaves zeros behind.
#include "crypto/secrets/wipe.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "crypto/failure.hpp"

namespace quillet::secrets {
namespace {

bool all_zero(const void* p, size_t n) {
  const auto* b = static_cast<const uint8_t*>(p);
  return std::all_of(b, b + n, [](uint8_t x) { return x == 0; });
}

TEST(Secret, GuardedValueIsZeroAfterEveryWayOut) {
  enum class Exit { normal, hard_failure, other_exception };
  for (Exit exit : {Exit::normal, Exit::hard_failure, Exit::other_exception}) {
    std::array<uint64_t, 4> key = {0x1234567890abcdefULL, 1, 2, 3};  // a scalar's limbs
    std::array<uint8_t, 32> digest{};
    digest.fill(0xa5);
    try {
      const WipeOnExit<std::array<uint64_t, 4>> wipe_key(key);
      const WipeOnExit<std::array<uint8_t, 32>> wipe_digest(digest);
      if (exit == Exit::hard_failure) fail_hard("stop");
      if (exit == Exit::other_exception) throw std::runtime_error("stop");
    } catch (const std::exception&) {
    }
    EXPECT_TRUE(all_zero(&key, sizeof key)) << static_cast<int>(exit);
    EXPECT_TRUE(all_zero(digest.data(), digest.size())) << static_cast<int>(exit);
  }
}

TEST(Secret, WipeTextOverwritesEveryCharacterAndKeepsTheLength) {
  for (std::string text : {std::string("0x1f"), std::string(66, 'f'), std::string()}) {
    const size_t size = text.size();
    wipe_text(text);
    EXPECT_EQ(text.size(), size);
    EXPECT_TRUE(all_zero(text.data(), text.size()));
  }
}

}  // namespace
}  // namespace quillet::secrets
