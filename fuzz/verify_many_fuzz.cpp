// Batch verification against single verification: the input is up to eight
// items of four texts (r, s, pub_key_x, msg) separated by 0x00 bytes; next to
// each, the batch gets a valid signature of its message under a fixed key
// and the item with that signature's r or s, so wrong, malformed and valid
// items mix under shared and distinct keys. An input starting with 'M' adds
// 170 copies of the first valid item, enough to take the shared subgroup
// check. Every item's outcome (value, error text or hard failure text) must
// be verify_signature's.
#include <algorithm>
#include <deque>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.hpp"
#include "sdk/src/lib.hpp"
#include "sdk/src/batch/verify_many.hpp"

using namespace quillet;

namespace {

constexpr std::string_view kKnownKey = "0x01b2d3f4a5968778695a4b3c2d1e0ffedcba98765432100123456789abcdef01";
constexpr size_t kMaxItems = 8;
constexpr size_t kManyCopies = 170;

std::string describe(const sdk::ItemResult<bool>& o) {
  if (!o) return "hard failure: " + o.error().text();
  if (!o.value()) return "error: " + o.value().error().to_string();
  return *o.value() ? "true" : "false";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input = fuzz::as_text(data, size);
  const bool many = input.starts_with('M');
  if (many) input.remove_prefix(1);
  const auto texts = fuzz::split<4 * kMaxItems>(input);
  static const auto [known_pub, known_y] = sdk::private_key_to_pubkey_xy(kKnownKey).value();

  std::deque<std::string> keep;  // owns the generated texts; never moved
  std::vector<sdk::VerifyArgs> items;
  const size_t count = std::min(kMaxItems, (static_cast<size_t>(std::count(input.begin(), input.end(), '\0')) + 4) / 4);
  for (size_t i = 0; i < count; ++i) {
    const std::string_view r = texts[4 * i], s = texts[4 * i + 1], pub = texts[4 * i + 2], msg = texts[4 * i + 3];
    items.push_back({r, s, pub, "", msg});
    const auto sig = sdk::sign(kKnownKey, msg);
    if (!sig) continue;
    const std::string& json = keep.emplace_back(sdk::to_json(*sig));
    const std::string_view good_r = std::string_view(json).substr(6, 66);
    const std::string_view good_s = std::string_view(json).substr(79, 66);
    items.push_back({good_r, good_s, known_pub, known_y, msg});
    if (i == 0 && many) items.insert(items.end(), kManyCopies, items.back());
    items.push_back({good_r, s, pub, msg, msg});  // any pub_key_y at all
    items.push_back({r, good_s, known_pub, "", msg});
  }
  const std::vector<sdk::ItemResult<bool>> batch = sdk::verify_many(items);
  fuzz::check(batch.size() == items.size(), "one outcome per item");
  for (size_t i = 0; i < items.size(); ++i) {
    const std::string got = describe(batch[i]);
    const std::string want = describe(sdk::verify_one(items[i]));
    fuzz::check(got == want, "batch outcome is the single one", got + " / " + want);
  }
  return 0;
}
