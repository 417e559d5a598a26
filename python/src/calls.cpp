#include "python/src/calls.hpp"

#include <cstdint>
#include <new>
#include <optional>
#include <span>
#include <utility>

#include "sdk/src/batch/many.hpp"
#include "sdk/src/batch/verify_many.hpp"
#include "python/src/ref.hpp"
#include "sdk/src/lib.hpp"

namespace quillet::python {
namespace {

// "{context}: {error}", the description of a returned core error.
Failure with_context(const char* context, const sdk::Error& error) {
  return Failure{std::string(context) + ": " + error.to_string()};
}

std::span<const uint8_t> bytes(std::string_view text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

Outcome call_private_key_from_seed(const Args& a) {
  auto key = sdk::private_key_from_seed(bytes(a[0]));
  if (!key) return unexpected(with_context("Couldn't derive private key from seed", key.error()));
  return Value(std::move(*key));
}

// run_core's outcome of a batch item: its hard failure's text, or what
// `single`, the single call's own conversion, makes of its result.
template <class T, class Single>
Outcome item_outcome(sdk::ItemResult<T>&& item, const Single& single) {
  if (!item) return unexpected(Failure{item.error().text()});
  return single(std::move(item).value());
}

// A hash's text, as a string or (from a batch) as its characters.
template <class Text>
Outcome hash_outcome(sdk::Result<Text>&& hash) {
  if (!hash) return unexpected(with_context("Couldn't get hash", hash.error()));
  return Value(std::move(*hash));
}

template <sdk::Result<std::string> (*Hash)(std::string_view)>
Outcome call_hash(const Args& a) {
  return hash_outcome<std::string>(Hash(a[0]));
}

constexpr const char* kSignTransactionContext = "Couldn get jubjubSignature";
constexpr const char* kSignContext = "Couldn't sign msg";

Outcome signature_json(const char* context, const sdk::Result<sdk::keys::JubjubSignature>& signature) {
  if (!signature) return unexpected(with_context(context, signature.error()));
  return Value(sdk::to_json(*signature));
}

// The same signature as its two values, r and s.
Outcome signature_pair(const char* context, const sdk::Result<sdk::keys::JubjubSignature>& signature) {
  if (!signature) return unexpected(with_context(context, signature.error()));
  return Value(sdk::signature_chars(*signature));
}

Outcome call_sign(const Args& a) { return signature_json(kSignContext, sdk::sign(a[0], a[1])); }

template <sdk::Result<sdk::keys::JubjubSignature> (*Sign)(std::string_view, std::string_view)>
Outcome call_sign_transaction(const Args& a) {
  return signature_json(kSignTransactionContext, Sign(a[0], a[1]));
}

// The document kind of {prefix}<kind>, if `fn` is one.
std::optional<sdk::DocumentKind> kind_of(const Function& fn, std::string_view prefix) {
  const std::string_view name = fn.sig.name;
  if (!name.starts_with(prefix)) return std::nullopt;
  for (const auto& [kind, kind_name] : sdk::kDocumentKinds) {
    if (name.substr(prefix.size()) == kind_name) return kind;
  }
  return std::nullopt;
}

constexpr const char* kEthSignContext = "Couldn't sign msg";

Outcome call_eth_sign(const Args& a) {
  auto signature = sdk::l1_sign(a[1], a[0]);  // the core takes the message first
  if (!signature) return unexpected(with_context(kEthSignContext, signature.error()));
  return Value(sdk::to_json(*signature));
}

Failure verify_failure(const sdk::Error& error) {
  return with_context("Couldn't get verify_signature result", error);
}

Outcome verify_outcome(const sdk::Result<bool>& valid) {
  if (!valid) return unexpected(verify_failure(valid.error()));
  return Value(*valid);
}

Outcome call_verify_signature(const Args& a) {
  return verify_outcome(sdk::verify_signature(a[0], a[1], a[2], a[3], a[4]));
}

Outcome call_is_on_curve(const Args& a) {
  auto on_curve = sdk::is_on_curve(a[0], a[1]);
  if (!on_curve) {
    return unexpected(with_context("Couldn't get verify xy is on curve", on_curve.error()));
  }
  return Value(*on_curve);
}

Outcome public_key_json(const char* context,
                        sdk::Result<std::pair<std::string, std::string>> pair) {
  if (!pair) return unexpected(with_context(context, pair.error()));
  return Value(sdk::to_json(*pair));
}

constexpr const char* kPublicKeyToXyContext = "Couldn't convert public key to xy";

Outcome call_public_key_to_xy(const Args& a) {
  return public_key_json(kPublicKeyToXyContext, sdk::pub_key_to_xy(a[0]));
}

Outcome call_private_key_to_public_key_xy(const Args& a) {
  return public_key_json("Couldn't convert private key to public key xy",
                         sdk::private_key_to_pubkey_xy(a[0]));
}

constexpr FailureClass kGuarded = FailureClass::guarded;
constexpr FailureClass kUnguarded = FailureClass::unguarded;

}  // namespace

// Constant-initialised, so it is ready before any module's initialisation.
constexpr std::array<Function, kFunctionCount> kFunctions = {{
    {{"verify_signature", {"sig_r", "sig_s", "pub_key_x", "pub_key_y", "msg"}, 5},
     "verify_signature(sig_r, sig_s, pub_key_x, pub_key_y, msg)\n--\n\n", kGuarded, call_verify_signature},
    {{"sign_withdraw", {"json", "pri_key"}, 2}, "sign_withdraw(json, pri_key)\n--\n\n", kGuarded,
     call_sign_transaction<sdk::sign_withdraw>},
    {{"sign_transfer", {"json", "pri_key"}, 2}, "sign_transfer(json, pri_key)\n--\n\n", kGuarded,
     call_sign_transaction<sdk::sign_transfer>},
    {{"sign_limit_order", {"json", "pri_key"}, 2}, "sign_limit_order(json, pri_key)\n--\n\n",
     kGuarded, call_sign_transaction<sdk::sign_limit_order>},
    {{"sign_liquidate", {"json", "pri_key"}, 2}, "sign_liquidate(json, pri_key)\n--\n\n", kGuarded,
     call_sign_transaction<sdk::sign_liquidate>},
    {{"sign_signed_oracle_price", {"json", "pri_key"}, 2},
     "sign_signed_oracle_price(json, pri_key)\n--\n\n", kGuarded, call_sign_transaction<sdk::sign_signed_oracle_price>},
    {{"hash_withdraw", {"json"}, 1}, "hash_withdraw(json)\n--\n\n", kUnguarded, call_hash<sdk::hash_withdraw>},
    {{"hash_transfer", {"json"}, 1}, "hash_transfer(json)\n--\n\n", kUnguarded, call_hash<sdk::hash_transfer>},
    {{"hash_limit_order", {"json"}, 1}, "hash_limit_order(json)\n--\n\n", kUnguarded, call_hash<sdk::hash_limit_order>},
    {{"hash_liquidate", {"json"}, 1}, "hash_liquidate(json)\n--\n\n", kUnguarded, call_hash<sdk::hash_liquidate>},
    {{"hash_signed_oracle_price", {"json"}, 1}, "hash_signed_oracle_price(json)\n--\n\n",
     kUnguarded, call_hash<sdk::hash_signed_oracle_price>},
    {{"sign", {"private_key", "msg"}, 2}, "sign(private_key, msg)\n--\n\n", kGuarded, call_sign},
    {{"eth_sign", {"private_key", "msg"}, 2}, "eth_sign(private_key, msg)\n--\n\n", kGuarded,
     call_eth_sign},
    {{"private_key_from_seed", {"seed"}, 1}, "private_key_from_seed(seed)\n--\n\n", kUnguarded,
     call_private_key_from_seed},
    {{"is_on_curve", {"x", "y"}, 2}, "is_on_curve(x, y)\n--\n\n", kUnguarded, call_is_on_curve},
    {{"public_key_to_xy", {"public_key"}, 1}, "public_key_to_xy(public_key)\n--\n\n", kUnguarded,
     call_public_key_to_xy},
    {{"private_key_to_public_key_xy", {"private_key"}, 1},
     "private_key_to_public_key_xy(private_key)\n--\n\n", kUnguarded, call_private_key_to_public_key_xy},
}};

const Function* find_function(std::string_view name) {
  for (const Function& fn : kFunctions) {
    if (name == fn.sig.name) return &fn;
  }
  return nullptr;
}

Outcome run_core(const Function& fn, const Args& args) noexcept {
  return guarded([&] { return fn.call(args); });
}

Outcome public_key_pair(std::string_view packed) noexcept {
  return guarded([&]() -> Outcome {
    auto pair = sdk::pub_key_to_xy(packed);
    if (!pair) return unexpected(with_context(kPublicKeyToXyContext, pair.error()));
    return Value(Texts{std::move(pair->first), std::move(pair->second)});
  });
}

Outcome sign_document_with(sdk::DocumentKind kind, std::string_view json, const jubjub::Fs& sk) noexcept {
  return guarded([&] { return signature_pair(kSignTransactionContext, sdk::sign_document(kind, json, sk)); });
}

Outcome sign_message_with(const jubjub::Fs& sk, std::string_view msg) noexcept {
  return guarded([&] { return signature_pair(kSignContext, sdk::sign(sk, msg)); });
}

Outcome eth_sign_with(const jubjub::Fs& sk, std::string_view msg) noexcept {
  return guarded([&]() -> Outcome {
    auto signature = sdk::l1_sign(msg, sk);
    if (!signature) return unexpected(with_context(kEthSignContext, signature.error()));
    return Value(Texts{signature->x, signature->y, signature->s, signature->pk_x, signature->pk_y});
  });
}

std::vector<Outcome> run_verify_many(std::span<const Args> items, const Spread& spread) {
  std::vector<sdk::VerifyArgs> args;
  args.reserve(items.size());
  for (const Args& a : items) args.push_back({a[0], a[1], a[2], a[3], a[4]});
  std::vector<sdk::ItemResult<bool>> verified = sdk::verify_many(args, spread);
  std::vector<Outcome> out;
  out.reserve(verified.size());
  for (auto& v : verified) out.push_back(item_outcome(std::move(v), verify_outcome));
  return out;
}

namespace {

bool signs_together(const Function& fn) {
  return kind_of(fn, "sign_").has_value() || std::string_view(fn.sig.name) == "sign";
}

}  // namespace

bool runs_together(const Function& fn) {
  return signs_together(fn) || (kind_of(fn, "hash_").has_value() && sdk::hashes_in_lanes());
}

std::vector<Outcome> run_many(const Function& fn, std::span<const Args> items, const Spread& spread, bool pairs) {
  std::vector<Outcome> out;
  if (items.empty()) return out;
  out.reserve(items.size());
  const std::optional<sdk::DocumentKind> hashed = kind_of(fn, "hash_");
  const std::optional<sdk::DocumentKind> signed_ = kind_of(fn, "sign_");
  // The key is argument 1 of sign_<kind>, 0 of sign; the other is the item.
  const std::size_t key = signed_ ? 1 : 0;
  std::vector<std::string_view> texts;
  texts.reserve(items.size());
  for (const Args& a : items) texts.push_back(hashed ? a[0] : a[1 - key]);
  if (hashed) {
    for (auto& h : sdk::hash_many(*hashed, texts)) {
      out.push_back(item_outcome(std::move(h), hash_outcome<HashChars>));
    }
    return out;
  }
  const char* context = signed_ ? kSignTransactionContext : kSignContext;
  auto signatures = signed_ ? sdk::sign_many(*signed_, texts, items[0][key], poseidon::lane_kernel(),
                                             jubjub::fixed_base_kernel(), spread)
                           : sdk::sign_messages(items[0][key], texts, jubjub::fixed_base_kernel(), spread);
  // The texts, by ranges on the same threads.
  out.resize(signatures.size(), Outcome(Value(false)));
  spread.for_ranges(signatures.size(), 1, [&](std::size_t first, std::size_t last) {
    for (std::size_t i = first; i < last; ++i) {
      out[i] = item_outcome(std::move(signatures[i]), [&](const sdk::Result<sdk::keys::JubjubSignature>& signature) {
        return pairs ? signature_pair(context, signature) : signature_json(context, signature);
      });
    }
  });
  return out;
}

namespace {

PyObject* chars_to_python(const HashChars& h) {
  return PyUnicode_DecodeASCII(h.data(), static_cast<Py_ssize_t>(h.size()), nullptr);
}

PyObject* text_to_python(const std::string& s) {
  return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

// A tuple of the str of each part, or nullptr with an exception set.
template <class Parts, class Convert>
PyObject* tuple_of(const Parts& parts, const Convert& convert) {
  Ref tuple(PyTuple_New(static_cast<Py_ssize_t>(parts.size())));
  if (tuple.get() == nullptr) return nullptr;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    PyObject* part = convert(parts[i]);
    // PyTuple_SetItem steals `part`, even when it fails.
    if (part == nullptr || PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), part) < 0) return nullptr;
  }
  return tuple.release();
}

}  // namespace

PyObject* to_python(const Value& value) {
  if (const bool* b = std::get_if<bool>(&value)) return Py_NewRef(*b ? Py_True : Py_False);
  if (const HashChars* h = std::get_if<HashChars>(&value)) return chars_to_python(*h);
  if (const SignatureChars* pair = std::get_if<SignatureChars>(&value)) return tuple_of(*pair, chars_to_python);
  if (const Texts* texts = std::get_if<Texts>(&value)) return tuple_of(*texts, text_to_python);
  return text_to_python(std::get<std::string>(value));
}

}  // namespace quillet::python
