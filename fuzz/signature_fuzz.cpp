// Signature texts: verify_signature on (r, s, pub_key_x, msg, pub_key_y)
// separated by 0x00 bytes. Malformed signature texts fail hard; every other
// defect is a returned error or false; pub_key_y changes no outcome. When r and s decode, the signature they name
// written as JSON and read back gives the same R.
#include "fuzz/fuzz_support.hpp"
#include "sdk/src/keys/signature.hpp"
#include "sdk/src/lib.hpp"
#include "sdk/tests/test_support.hpp"

using namespace quillet;

namespace {

// One signature that verifies, so that mutations start from a valid point.
constexpr std::string_view kKnownKey = "0x01b2d3f4a5968778695a4b3c2d1e0ffedcba98765432100123456789abcdef01";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto texts = fuzz::split<5>(fuzz::as_text(data, size));
  const std::string_view r = texts[0], s = texts[1], pub_x = texts[2], msg = texts[3], pub_y = texts[4];
  const auto verified = fuzz::run([&] { return sdk::verify_signature(r, s, pub_x, pub_y, msg); });
  // The key comes from the cache the second time, decoded without pub_key_y.
  const auto without_y = fuzz::run([&] { return sdk::verify_signature(r, s, pub_x, "", msg); });
  const auto describe = [](const auto& o) -> std::string {
    if (!o.value) return "hard failure: " + o.hard_failure;
    if (!*o.value) return "error: " + o.value->error().to_string();
    return **o.value ? "true" : "false";
  };
  fuzz::check(describe(verified) == describe(without_y), "pub_key_y changes no outcome", describe(verified));
  const auto parsed = fuzz::run([&] { return sdk::testing::read_signature(r, s); });
  if (!parsed.value) {
    // The signature texts are looked at before anything else.
    fuzz::check(!verified.value && verified.hard_failure == parsed.hard_failure,
                "verify fails hard as reading the signature does", verified.hard_failure);
    fuzz::check(parsed.hard_failure.starts_with(kUnwrapErr), "signature failure text", parsed.hard_failure);
    return 0;
  }
  // A decoded R is a point on the curve, so its JSON form exists and its
  // packed R reads back to the same point.
  const std::string json = sdk::to_json(*parsed.value);
  fuzz::check(json.size() == 147, "signature JSON length", json);
  const std::string packed_r = json.substr(6, 66);
  const auto again = sdk::testing::read_signature(packed_r, s);
  fuzz::check(again.r == parsed.value->r, "packed r reads back to the same point", packed_r);

  // Past the signature only an undecodable packed key fails hard; message
  // and key errors are returned, and a wrong signature is false.
  if (!verified.value) {
    fuzz::check(verified.hard_failure.starts_with(std::string(kUnwrapErr) + "RestoreRPoint("),
                "only the key's point may fail hard here", verified.hard_failure);
  }

  // Signing the fuzzed message with a fixed key must verify under that key.
  const auto sig = sdk::sign(kKnownKey, msg);
  if (sig) {
    const auto xy = sdk::private_key_to_pubkey_xy(kKnownKey).value();
    const std::string sig_json = sdk::to_json(*sig);
    const auto ok = sdk::verify_signature(sig_json.substr(6, 66), sig_json.substr(79, 66), xy.first,
                                          xy.second, msg);
    fuzz::check(ok && *ok, "a fresh signature verifies", sig_json);
  }
  return 0;
}
