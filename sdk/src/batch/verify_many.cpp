#include "sdk/src/batch/verify_many.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <utility>

#include "crypto/jubjub/batch_verify.hpp"
#include "crypto/jubjub/params.hpp"
#include "sdk/src/keys/message_signing.hpp"
#include "sdk/src/keys/public_key.hpp"
#include "sdk/src/keys/signature.hpp"
#include "sdk/src/numbers/u256.hpp"

namespace quillet::sdk {
namespace {

using Point = jubjub::Point<jubjub::Unknown>;
using Bytes32 = std::array<uint8_t, 32>;

// The parts of a well-formed item's texts, before any point is decoded.
struct Texts {
  Bytes32 r;
  jubjub::Fs s;
  Bytes32 msg;
  U256 key;
};

// The texts of an item if verify_signature would get past every text check,
// else nothing.
std::optional<Texts> parse_texts(const VerifyArgs& a) {
  try {
    const U256 r = keys::parse_signature_text(a.sig_r);
    const U256 s = keys::parse_signature_text(a.sig_s);
    const auto m = U256::from_str(a.msg);
    const auto v = U256::from_str_radix(a.pub_key_x, 16);
    if (!m || !v) return std::nullopt;
    return Texts{r.to_little_endian(), keys::signature_scalar(s), m->to_little_endian(), *v};
  } catch (const HardFailure&) {
    return std::nullopt;
  }
}

// A packed key as verify_signature reads it: the small-value rule's pair
// (0, v), or the decoded point; nothing where it would fail.
std::optional<jubjub::PublicKey> small_value_key(const U256& v) {
  auto key = keys::convert_to_pubkey(U256{}, v);
  if (!key) return std::nullopt;
  return *key;
}

// verify_many on one run of at most kMaxBatchRun items, appended to `out`.
void verify_run(std::span<const VerifyArgs> items, std::vector<ItemResult<bool>>& out_all, const Spread& spread) {
  const jubjub::AltJubjubBn256& params = jubjub::jubjub_params();
  const size_t n = items.size();
  std::vector<std::optional<Texts>> texts(n);
  std::vector<std::optional<Point>> r(n);
  // Each range decodes the distinct keys of its items: the d-th at
  // key_of[first + d], and key_at[i] is where item i's key is.
  std::vector<std::optional<jubjub::PublicKey>> key_of(n);
  std::vector<size_t> key_at(n);
  // The texts, R and keys of each range of items, with every square root of
  // the range (each R's, and each distinct key's not spared by its
  // pub_key_y) taken together; then the range's keys by value (then item)
  // for the items whose R decodes, for the distinct keys below. One range
  // per thread: each range pays for an inversion and a sorted run to merge,
  // and items cost alike, so finer ranges only add work (a late thread's
  // range is taken by the other). A key met in two ranges is decoded in
  // each, which costs less than a stage of its own.
  using KeyItem = std::pair<std::array<uint64_t, 4>, size_t>;
  std::vector<KeyItem> by_value(n);
  std::vector<size_t> run_end(n, 0);  // per range, at its first item: the end of its sorted run
  spread.for_ranges(n, 1, [&](size_t first, size_t last) {
    const auto run = by_value.begin() + static_cast<std::ptrdiff_t>(first);
    size_t end = first;
    for (size_t i = first; i < last; ++i) {
      texts[i] = parse_texts(items[i]);
      if (texts[i]) by_value[end++] = {texts[i]->key.words, i};
    }
    std::sort(run, by_value.begin() + static_cast<std::ptrdiff_t>(end));
    std::vector<jubjub::PointEncoding> bytes;  // each item's R, then the keys to decode
    std::vector<size_t> key_slot;              // where each of those keys goes in key_of
    bytes.reserve(2 * (end - first));
    for (size_t j = first; j < end; ++j) bytes.push_back(texts[by_value[j].second]->r);
    size_t distinct = first;
    for (size_t j = first; j < end; ++j) {
      const size_t i = by_value[j].second;
      if (j > first && by_value[j].first == by_value[j - 1].first) {
        key_at[i] = distinct - 1;
        continue;
      }
      key_at[i] = distinct;
      std::optional<jubjub::PublicKey>& key = key_of[distinct++];
      const U256& v = texts[i]->key;
      if (keys::small_value_rule_applies(v)) {
        key = small_value_key(v);
        continue;
      }
      const jubjub::PointEncoding encoded = v.to_little_endian();
      if (const auto hinted = keys::decode_with_pair_y(encoded, items[i].pub_key_y)) {
        key = jubjub::PublicKey{*hinted};
      } else {
        bytes.push_back(encoded);
        key_slot.push_back(distinct - 1);
      }
    }
    const auto points = Point::read_many(bytes, params);
    const size_t parsed = end - first;
    for (size_t k = 0; k < key_slot.size(); ++k) {
      if (points[parsed + k]) key_of[key_slot[k]] = jubjub::PublicKey{*points[parsed + k]};
    }
    // The run keeps the items whose R decodes, in order.
    size_t kept = first;
    for (size_t j = first; j < end; ++j) {
      const size_t i = by_value[j].second;
      if (points[j - first]) r[i] = *points[j - first];
      if (r[i]) by_value[kept++] = by_value[j];
    }
    run_end[first] = kept;
  });

  // Each distinct key once, by value: two texts of one value are one key.
  // Sorted by value (then item), equal keys are neighbours: cheaper than a
  // map's node per key. The ranges' sorted runs are merged.
  size_t merged = 0;
  for (size_t first = 0; first < n; ++first) {
    const size_t end = run_end[first];
    if (end <= first) continue;
    const auto begin = by_value.begin();
    std::move(begin + static_cast<std::ptrdiff_t>(first), begin + static_cast<std::ptrdiff_t>(end),
              begin + static_cast<std::ptrdiff_t>(merged));
    std::inplace_merge(begin, begin + static_cast<std::ptrdiff_t>(merged),
                       begin + static_cast<std::ptrdiff_t>(merged + end - first));
    merged += end - first;
  }
  by_value.resize(merged);
  std::vector<const std::optional<jubjub::PublicKey>*> slot_key;
  slot_key.reserve(merged);
  std::vector<size_t> item_slot(n);
  for (size_t j = 0; j < by_value.size(); ++j) {
    const size_t i = by_value[j].second;
    if (j == 0 || by_value[j].first != by_value[j - 1].first) slot_key.push_back(&key_of[key_at[i]]);
    item_slot[i] = slot_key.size() - 1;
  }

  // The well-formed items go to the batch; the others to verify_signature.
  std::vector<jubjub::PublicKey> keys;
  std::vector<size_t> key_index(slot_key.size(), SIZE_MAX);
  std::vector<jubjub::BatchSignature> sigs;
  std::vector<size_t> sig_item;
  keys.reserve(slot_key.size());
  sigs.reserve(n);
  sig_item.reserve(n);
  const size_t first = out_all.size();
  out_all.resize(first + n, Result<bool>(false));
  const std::span<ItemResult<bool>> out = std::span(out_all).subspan(first);
  std::vector<size_t> malformed;
  for (size_t i = 0; i < n; ++i) {
    if (!texts[i] || !r[i] || !*slot_key[item_slot[i]]) {
      malformed.push_back(i);
      continue;
    }
    size_t& k = key_index[item_slot[i]];
    if (k == SIZE_MAX) {
      k = keys.size();
      keys.push_back(**slot_key[item_slot[i]]);
    }
    sigs.push_back(jubjub::BatchSignature{jubjub::RawSignature{*r[i], texts[i]->s}, texts[i]->msg, k});
    sig_item.push_back(i);
  }
  spread.for_each(malformed.size(), [&](size_t k) { out[malformed[k]] = verify_one(items[malformed[k]]); });
  const std::vector<bool> valid = jubjub::verify_batch_vartime(keys, sigs, spread);
  for (size_t j = 0; j < sigs.size(); ++j) out[sig_item[j]] = Result<bool>(static_cast<bool>(valid[j]));
}

}  // namespace

ItemResult<bool> verify_one(const VerifyArgs& a) {
  return run_item([&] { return keys::verify_signature(a.sig_r, a.sig_s, a.pub_key_x, a.pub_key_y, a.msg); });
}

std::vector<ItemResult<bool>> verify_many(std::span<const VerifyArgs> items, const Spread& spread) {
  // Run by run, so that what is held at once stays bounded.
  std::vector<ItemResult<bool>> out;
  out.reserve(items.size());
  for (size_t start = 0; start < items.size(); start += jubjub::kMaxBatchRun) {
    verify_run(items.subspan(start, std::min(jubjub::kMaxBatchRun, items.size() - start)), out, spread);
  }
  return out;
}

}  // namespace quillet::sdk
