// The memory of checked keys against checking them afresh: what is recalled
// is what was remembered, with the quarter tables with_quarters_vartime
// gives from the third use on, however keys are evicted and from several
// threads at once (also run by the thread sanitizer's build).
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "crypto/jubjub/checked_key.hpp"
#include "crypto/jubjub/params.hpp"
#include "crypto/jubjub/tests/reference.hpp"
#include "crypto/jubjub/tests/test_support.hpp"
#include "sdk/src/keys/remembered_keys.hpp"

namespace quillet::sdk::keys {
namespace {

using jubjub::CheckedKey;
using jubjub::Point;
using jubjub::PointEncoding;
using jubjub::Unknown;
using jubjub::testing::same_checked_key;

const jubjub::AltJubjubBn256& params() { return jubjub::jubjub_params(); }

// Keys of any order (every fifth off the subgroup), their encodings and
// checked forms, without and with the quarter tables.
struct Keys {
  std::vector<PointEncoding> encodings;
  std::vector<CheckedKey> checked;
  std::vector<CheckedKey> with_quarters;
};

Keys make_keys(size_t n, uint64_t seed) {
  jubjub::reference::Rng rng(seed);
  const Point<Unknown> t8 = jubjub::reference::order_eight_point(rng, params());
  Keys keys;
  for (size_t i = 0; i < n; ++i) {
    const Point<Unknown> p = i % 5 == 0 ? rng.point(params()).add(t8, params()) : rng.point(params());
    keys.encodings.push_back(p.encode_vartime());
    keys.checked.push_back(jubjub::check_key_vartime(*Point<Unknown>::read(keys.encodings.back(), params())));
    keys.with_quarters.push_back(jubjub::with_quarters_vartime(keys.checked.back()));
  }
  return keys;
}

TEST(RememberedKeys, RecallsWhatWasRememberedWithQuartersFromTheThirdUse) {
  const Keys keys = make_keys(2, 7);
  const auto memory = std::make_unique<RememberedKeys>();
  EXPECT_FALSE(memory->recall(keys.encodings[0]).has_value());
  memory->remember(keys.encodings[0], keys.checked[0]);
  // Remembering counts as the first use; each recall as one more.
  const struct {
    const char* use;
    bool quarters;
  } kUses[] = {{"second", false}, {"third", true}, {"fourth", true}};
  for (const auto& use : kUses) {
    const std::optional<CheckedKey> got = memory->recall(keys.encodings[0]);
    ASSERT_TRUE(got.has_value()) << use.use;
    EXPECT_TRUE(same_checked_key(*got, use.quarters ? keys.with_quarters[0] : keys.checked[0])) << use.use;
  }
  // A key already here keeps its slot and its tables; another is not here.
  memory->remember(keys.encodings[0], keys.checked[0]);
  EXPECT_TRUE(same_checked_key(*memory->recall(keys.encodings[0]), keys.with_quarters[0]));
  EXPECT_FALSE(memory->recall(keys.encodings[1]).has_value());
}

TEST(RememberedKeys, UnderEvictionsAndThreadsRecallsOnlyWhatWasRemembered) {
  const Keys keys = make_keys(3 * RememberedKeys::kSlots, 16);
  const auto memory = std::make_unique<RememberedKeys>();
  std::atomic<int> wrong{0};
  std::atomic<int> found{0};
  // Each thread remembers every other key and recalls all keys so far: each
  // finds its last one unless the other thread held the memory.
  const auto run = [&](size_t first) {
    for (size_t i = first; i < keys.encodings.size(); i += 2) {
      memory->remember(keys.encodings[i], keys.checked[i]);
      for (size_t j = 0; j <= i; ++j) {
        const std::optional<CheckedKey> k = memory->recall(keys.encodings[j]);
        if (!k) continue;
        ++found;
        if (!same_checked_key(*k, k->has_quarters ? keys.with_quarters[j] : keys.checked[j])) ++wrong;
      }
    }
  };
  std::thread other(run, 1);
  run(0);
  other.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_GT(found.load(), 0);
}

}  // namespace
}  // namespace quillet::sdk::keys
