#include "sdk/src/many.hpp"

#include <optional>

#include "sdk/src/hashing/message_hash.hpp"
#include "sdk/src/lib.hpp"

namespace quillet::sdk {
namespace {

using field::Fr;

Result<std::string> hash_one(DocumentKind kind, std::string_view doc) {
  switch (kind) {
    case DocumentKind::transfer:
      return hash_transfer(doc);
    case DocumentKind::withdraw:
      return hash_withdraw(doc);
    case DocumentKind::limit_order:
      return hash_limit_order(doc);
    case DocumentKind::liquidate:
      return hash_liquidate(doc);
    case DocumentKind::signed_oracle_price:
      return hash_signed_oracle_price(doc);
  }
  fail_hard("internal error: unknown document kind");
}

Result<keys::JubjubSignature> sign_one(DocumentKind kind, std::string_view doc, std::string_view key) {
  switch (kind) {
    case DocumentKind::transfer:
      return sign_transfer(doc, key);
    case DocumentKind::withdraw:
      return sign_withdraw(doc, key);
    case DocumentKind::limit_order:
      return sign_limit_order(doc, key);
    case DocumentKind::liquidate:
      return sign_liquidate(doc, key);
    case DocumentKind::signed_oracle_price:
      return sign_signed_oracle_price(doc, key);
  }
  fail_hard("internal error: unknown document kind");
}

// call(i)'s outcome, its hard failure caught.
template <class T, class Call>
ItemResult<T> guarded(Call& call, size_t i) {
  try {
    return ItemResult<T>(call(i));
  } catch (HardFailure& f) {
    return unexpected(std::move(f));
  }
}

template <class T>
std::vector<ItemResult<T>> collect(std::vector<std::optional<ItemResult<T>>>& slots) {
  std::vector<ItemResult<T>> out;
  out.reserve(slots.size());
  for (auto& s : slots) out.push_back(std::move(*s));
  return out;
}

}  // namespace

std::string hash_text_of_squeeze(const Fr& squeezed) { return hashing::hash_text(squeezed.into_repr()); }

std::vector<ItemResult<std::string>> hash_many(DocumentKind kind, std::span<const std::string_view> docs,
                                               poseidon::LaneKernel k) {
  auto call = [&](size_t i) { return hash_one(kind, docs[i]); };
  std::vector<std::optional<ItemResult<std::string>>> slots(docs.size());
  poseidon::run_deferred_finishing(
      docs.size(), [&](size_t i) { slots[i].emplace(guarded<std::string>(call, i)); },
      [&](size_t i, const Fr& squeezed) {
        if (!slots[i]->has_value() || !slots[i]->value().has_value()) return false;
        slots[i].emplace(Result<std::string>(hash_text_of_squeeze(squeezed)));
        return true;
      },
      k);
  return collect(slots);
}

std::vector<ItemResult<keys::JubjubSignature>> sign_many(DocumentKind kind, std::span<const std::string_view> docs,
                                                       std::string_view pri_key, poseidon::LaneKernel k) {
  // The recording runs hash the documents; only the final run signs.
  auto hash = [&](size_t i) { return hash_one(kind, docs[i]); };
  auto call = [&](size_t i) { return sign_one(kind, docs[i], pri_key); };
  std::vector<std::optional<ItemResult<keys::JubjubSignature>>> slots(docs.size());
  poseidon::run_deferred(
      docs.size(), [&](size_t i) { (void)guarded<std::string>(hash, i); },
      [&](size_t i) { slots[i].emplace(guarded<keys::JubjubSignature>(call, i)); }, k);
  return collect(slots);
}

}  // namespace quillet::sdk
