#include "sdk/src/batch/many.hpp"

#include <optional>
#include <utility>
#include <vector>

#include "crypto/secrets/wipe.hpp"
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

// Hashes of the documents, their lanes shared.
std::vector<std::optional<ItemResult<hashing::HashWords>>> document_hashes(DocumentKind kind,
                                                                           std::span<const std::string_view> docs,
                                                                           poseidon::LaneKernel k) {
  std::vector<std::optional<ItemResult<hashing::HashWords>>> hashes(docs.size());
  poseidon::run_deferred(
      docs.size(),
      [&](size_t i, poseidon::Squeezer* squeezer) {
        hashes[i].emplace(run_item([&] { return documents::document_hash(kind, docs[i], squeezer); }));
      },
      [&](size_t i, const Fr& squeezed) {
        // Every document hash is that of its last squeeze, and nothing after
        // it can fail.
        if (!hashes[i]->has_value() || !hashes[i]->value().has_value()) return false;
        hashes[i].emplace(Result<hashing::HashWords>(squeezed.into_repr()));
        return true;
      },
      k);
  return hashes;
}

// Signs msgs[m] for item index[m] into out under the key text, parsed once
// for all: the single call's step after its message, which gives every item
// the same key outcome. `rejected` makes the key's error into each item's
// (returned or thrown as a hard failure).
template <class Rejected>
void sign_under_key(std::string_view pri_key, std::span<const jubjub::PrivateKey::Message> msgs,
                    std::span<const size_t> index, const Rejected& rejected, cpu::LaneKernel base,
                    std::vector<std::optional<Signed>>& out) {
  if (index.empty()) return;
  auto sk = keys::private_key_from_string(pri_key);
  if (!sk) {
    for (size_t i : index) {
      out[i].emplace(run_item([&] { return Result<keys::JubjubSignature>(unexpected(rejected(sk.error()))); }));
    }
    return;
  }
  const secrets::WipeOnExit<jubjub::Fs> wipe_sk(*sk);
  auto signatures = keys::sign_raw_msgs(*sk, msgs, base);
  for (size_t m = 0; m < index.size(); ++m) {
    if (signatures[m]) {
      out[index[m]].emplace(Result<keys::JubjubSignature>(*signatures[m]));
    } else {
      out[index[m]].emplace(unexpected(std::move(signatures[m]).error()));
    }
  }
}

}  // namespace

bool hashes_in_lanes() { return poseidon::lane_kernel() != poseidon::LaneKernel::scalar; }

std::string_view hash_kernel_name() { return poseidon::lane_kernel_name(poseidon::lane_kernel()); }

std::vector<ItemResult<hashing::HashChars>> hash_many(DocumentKind kind, std::span<const std::string_view> docs,
                                                      poseidon::LaneKernel k) {
  auto hashes = document_hashes(kind, docs, k);
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
                              poseidon::LaneKernel k, cpu::LaneKernel base) {
  auto hashes = document_hashes(kind, docs, k);
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
  sign_under_key(pri_key, msgs, index, [&](const Error& e) { return documents::rejected_key(kind, e); }, base, out);
  return collect(out);
}

std::vector<Signed> sign_messages(std::string_view pri_key, std::span<const std::string_view> msgs,
                                  cpu::LaneKernel base) {
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
  sign_under_key(pri_key, messages, index, [](const Error& e) { return e; }, base, out);
  return collect(out);
}

}  // namespace quillet::sdk
