#include "sdk/src/lib.hpp"

#include "sdk/src/tx/l1.hpp"
#include "sdk/src/tx/packed_public_key.hpp"
#include "sdk/src/tx/packed_signature.hpp"
#include "sdk/src/tx/seed.hpp"
#include "sdk/src/tx/sign.hpp"

namespace quillet::sdk {

Result<std::string> private_key_from_seed(std::span<const uint8_t> seed) {
  return tx::private_key_from_seed(seed);
}

// --- Keys and signatures ---

Result<tx::JubjubSignature> sign(std::string_view private_key, std::string_view msg) {
  return tx::sign(private_key, msg);
}

Result<bool> verify_signature(std::string_view sig_r, std::string_view sig_s, std::string_view pub_key_x,
                              std::string_view pub_key_y, std::string_view msg) {
  return tx::verify_signature(sig_r, sig_s, pub_key_x, pub_key_y, msg);
}

Result<tx::L1Signature> l1_sign(std::string_view msg, std::string_view private_key) {
  return tx::l1_sign(msg, private_key);
}

Result<bool> is_on_curve(std::string_view x, std::string_view y) { return tx::is_on_curve(x, y); }

Result<std::pair<std::string, std::string>> pub_key_to_xy(std::string_view public_key) {
  return tx::pub_key_to_xy(public_key);
}

Result<std::pair<std::string, std::string>> private_key_to_pubkey_xy(std::string_view private_key) {
  return tx::private_key_to_pubkey_xy(private_key);
}

std::string to_json(const tx::JubjubSignature& sig) { return tx::to_signature_original(sig).to_json(); }

std::string to_json(const tx::L1Signature& sig) { return sig.to_json(); }

}  // namespace quillet::sdk
