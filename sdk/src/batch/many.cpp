#include "sdk/src/batch/many.hpp"

#include <algorithm>
#include <optional>
#include <utility>
#include <vector>

#include "crypto/secrets/wipe.hpp"
#include "sdk/src/batch/sign_schedule.hpp"
#include "sdk/src/hashing/message_hash.hpp"
#include "sdk/src/keys/key_text.hpp"
#include "sdk/src/keys/message_signing.hpp"
#include "sdk/src/numbers/u256.hpp"

namespace quillet::sdk {
namespace {

using field::Fr;
using Signed = ItemResult<keys::JubjubSignature>;

template <class T>
std::vector<ItemResult<T>> collect(std::vector<std::optional<ItemResult<T>>>& slots) {
  std::vector<ItemResult<T>> out;
  out.reserve(slots.size());
  for (auto& s : slots) out.push_back(std::move(*s));
  return out;
}

// Hashes of the documents, their lanes shared within each range of whole
// lane groups; several ranges per thread when there are several threads,
// documents being of unequal cost.
std::vector<std::optional<ItemResult<hashing::HashWords>>> document_hashes(DocumentKind kind,
                                                                           std::span<const std::string_view> docs,
                                                                           poseidon::LaneKernel k,
                                                                           const Spread& spread) {
  std::vector<std::optional<ItemResult<hashing::HashWords>>> hashes(docs.size());
  constexpr size_t kGroup = 8;
  const unsigned per_thread = spread.width() > 1 ? 4 : 1;
  spread.for_ranges((docs.size() + kGroup - 1) / kGroup, per_thread, [&](size_t first_group, size_t last_group) {
    const size_t first = first_group * kGroup;
    const size_t last = std::min(docs.size(), last_group * kGroup);
    poseidon::run_deferred(
        last - first,
        [&](size_t i, poseidon::Squeezer* squeezer) {
          const std::string_view doc = docs[first + i];
          hashes[first + i].emplace(run_item([&] { return documents::document_hash(kind, doc, squeezer); }));
        },
        [&](size_t i, const Fr& squeezed) {
          // Every document hash is that of its last squeeze, and nothing after
          // it can fail.
          auto& h = hashes[first + i];
          if (!h->has_value() || !h->value().has_value()) return false;
          h.emplace(Result<hashing::HashWords>(squeezed.into_repr()));
          return true;
        },
        k);
  });
  return hashes;
}

// Signs msgs[m] for item index[m] into out under the key text, parsed once
// for all: the single call's step after its message, which gives every item
// the same key outcome. `rejected` makes the key's error into each item's
// (returned or thrown as a hard failure).
template <class Rejected>
void sign_under_key(std::string_view pri_key, std::span<const jubjub::PrivateKey::Message> msgs,
                    std::span<const size_t> index, const Rejected& rejected, cpu::LaneKernel base,
                    const Spread& spread, std::vector<std::optional<Signed>>& out) {
  if (index.empty()) return;
  auto sk = keys::private_key_from_string(pri_key);
  if (!sk) {
    for (size_t i : index) {
      out[i].emplace(run_item([&] { return Result<keys::JubjubSignature>(unexpected(rejected(sk.error()))); }));
    }
    return;
  }
  const secrets::WipeOnExit<jubjub::Fs> wipe_sk(*sk);
  const std::vector<jubjub::CheckedSignature> signatures =
      sign_and_check_many(jubjub::PrivateKey(*sk), msgs, base, spread);
  for (size_t m = 0; m < index.size(); ++m) {
    if (signatures[m].verifies) {
      out[index[m]].emplace(Result<keys::JubjubSignature>(signatures[m].signature));
    } else {
      // The hard failure the single call throws.
      out[index[m]].emplace(unexpected(HardFailure(keys::kSelfCheckFailed)));
    }
  }
}

}  // namespace

bool hashes_in_lanes() { return poseidon::lane_kernel() != poseidon::LaneKernel::scalar; }

std::string_view hash_kernel_name() { return poseidon::lane_kernel_name(poseidon::lane_kernel()); }

std::vector<ItemResult<hashing::HashChars>> hash_many(DocumentKind kind, std::span<const std::string_view> docs,
                                                      poseidon::LaneKernel k) {
  auto hashes = document_hashes(kind, docs, k, serial_spread());
  std::vector<ItemResult<hashing::HashChars>> out;
  out.reserve(docs.size());
  for (auto& h : hashes) {
    if (!*h) {
      out.emplace_back(unexpected(std::move(*h).error()));
    } else if (!h->value()) {
      out.emplace_back(Result<hashing::HashChars>(unexpected(h->value().error())));
    } else {
      out.emplace_back(Result<hashing::HashChars>(hashing::hash_chars(*h->value())));
    }
  }
  return out;
}

std::vector<Signed> sign_many(DocumentKind kind, std::span<const std::string_view> docs, std::string_view pri_key,
                              poseidon::LaneKernel k, cpu::LaneKernel base, const Spread& spread) {
  auto hashes = document_hashes(kind, docs, k, spread);
  std::vector<std::optional<Signed>> out(docs.size());
  std::vector<jubjub::PrivateKey::Message> msgs;
  std::vector<size_t> index;
  for (size_t i = 0; i < docs.size(); ++i) {
    auto& h = *hashes[i];
    if (!h) {
      out[i].emplace(unexpected(std::move(h).error()));
    } else if (!h.value()) {
      out[i].emplace(Result<keys::JubjubSignature>(unexpected(h.value().error())));
    } else {
      msgs.push_back(hashing::hash_message(*h.value()));
      index.push_back(i);
    }
  }
  sign_under_key(
      pri_key, msgs, index, [&](const Error& e) { return documents::rejected_key(kind, e); }, base, spread, out);
  return collect(out);
}

std::vector<Signed> sign_messages(std::string_view pri_key, std::span<const std::string_view> msgs,
                                  cpu::LaneKernel base, const Spread& spread) {
  std::vector<std::optional<Signed>> out(msgs.size());
  std::vector<jubjub::PrivateKey::Message> messages;
  std::vector<size_t> index;
  for (size_t i = 0; i < msgs.size(); ++i) {
    const auto m = U256::from_str(msgs[i]);
    if (!m) {
      out[i].emplace(Result<keys::JubjubSignature>(unexpected(Error(m.error().to_string()))));
    } else {
      messages.push_back(m->to_little_endian());
      index.push_back(i);
    }
  }
  sign_under_key(pri_key, messages, index, [](const Error& e) { return e; }, base, spread, out);
  return collect(out);
}

}  // namespace quillet::sdk
