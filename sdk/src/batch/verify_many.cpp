#include "sdk/src/batch/verify_many.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <utility>

#include "crypto/jubjub/batch_verify.hpp"
#include "crypto/jubjub/params.hpp"
#include "sdk/src/batch/verify_schedule.hpp"
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

// The texts, R and keys of a run's items, decoded in ranges. Each range
// decodes the distinct keys of its items, with every square root of the
// range (each R's, and each distinct key's not spared by its pub_key_y)
// taken together; then it sorts its items whose R decodes by key value
// (then item), for the distinct keys of the run. One range per thread: each
// range pays for an inversion and a sorted run to merge, and items cost
// alike, so finer ranges only add work (a late thread's range is taken by
// the other). A key met in two ranges is decoded in each, which costs less
// than a stage of its own.
class DecodedItems {
 public:
  explicit DecodedItems(std::span<const VerifyArgs> items)
      : items_(items), texts_(items.size()), r_(items.size()), key_of_(items.size()), key_at_(items.size()),
        by_value_(items.size()), run_end_(items.size(), 0) {}

  void decode(size_t first, size_t last) {
    const auto run = by_value_.begin() + static_cast<std::ptrdiff_t>(first);
    size_t end = first;
    for (size_t i = first; i < last; ++i) {
      texts_[i] = parse_texts(items_[i]);
      if (texts_[i]) by_value_[end++] = {texts_[i]->key.words, i};
    }
    std::sort(run, by_value_.begin() + static_cast<std::ptrdiff_t>(end));
    std::vector<jubjub::PointEncoding> bytes;  // each item's R, then the keys to decode
    std::vector<size_t> key_slot;              // where each of those keys goes in key_of_
    bytes.reserve(2 * (end - first));
    for (size_t j = first; j < end; ++j) bytes.push_back(texts_[by_value_[j].second]->r);
    size_t distinct = first;
    for (size_t j = first; j < end; ++j) {
      const size_t i = by_value_[j].second;
      if (j > first && by_value_[j].first == by_value_[j - 1].first) {
        key_at_[i] = distinct - 1;
        continue;
      }
      key_at_[i] = distinct;
      std::optional<jubjub::PublicKey>& key = key_of_[distinct++];
      const U256& v = texts_[i]->key;
      if (keys::small_value_rule_applies(v)) {
        key = small_value_key(v);
        continue;
      }
      const jubjub::PointEncoding encoded = v.to_little_endian();
      if (const auto hinted = keys::decode_with_pair_y(encoded, items_[i].pub_key_y)) {
        key = jubjub::PublicKey{*hinted};
      } else {
        bytes.push_back(encoded);
        key_slot.push_back(distinct - 1);
      }
    }
    const auto points = Point::read_many(bytes, jubjub::jubjub_params());
    const size_t parsed = end - first;
    for (size_t k = 0; k < key_slot.size(); ++k) {
      if (points[parsed + k]) key_of_[key_slot[k]] = jubjub::PublicKey{*points[parsed + k]};
    }
    // The run keeps the items whose R decodes, in order.
    size_t kept = first;
    for (size_t j = first; j < end; ++j) {
      const size_t i = by_value_[j].second;
      if (points[j - first]) r_[i] = *points[j - first];
      if (r_[i]) by_value_[kept++] = by_value_[j];
    }
    run_end_[first] = kept;
  }

  // Once every range is decoded: the batch of the well-formed items, each
  // distinct key once by value (two texts of one value are one key), and the
  // others. Sorted by value (then item), equal keys are neighbours: cheaper
  // than a map's node per key. The ranges' sorted runs are merged.
  void collect(std::vector<jubjub::PublicKey>& keys, std::vector<jubjub::BatchSignature>& sigs,
               std::vector<size_t>& sig_item, std::vector<size_t>& malformed) {
    const size_t n = items_.size();
    size_t merged = 0;
    const auto at = [&](size_t j) { return by_value_.begin() + static_cast<std::ptrdiff_t>(j); };
    for (size_t first = 0; first < n; ++first) {
      const size_t end = run_end_[first];
      if (end <= first) continue;
      std::move(at(first), at(end), at(merged));
      std::inplace_merge(at(0), at(merged), at(merged + end - first));
      merged += end - first;
    }
    by_value_.resize(merged);
    std::vector<const std::optional<jubjub::PublicKey>*> slot_key;
    slot_key.reserve(merged);
    std::vector<size_t> item_slot(n);
    for (size_t j = 0; j < by_value_.size(); ++j) {
      const size_t i = by_value_[j].second;
      if (j == 0 || by_value_[j].first != by_value_[j - 1].first) slot_key.push_back(&key_of_[key_at_[i]]);
      item_slot[i] = slot_key.size() - 1;
    }
    std::vector<size_t> key_index(slot_key.size(), SIZE_MAX);
    keys.reserve(slot_key.size());
    sigs.reserve(n);
    sig_item.reserve(n);
    for (size_t i = 0; i < n; ++i) {
      if (!texts_[i] || !r_[i] || !*slot_key[item_slot[i]]) {
        malformed.push_back(i);
        continue;
      }
      size_t& k = key_index[item_slot[i]];
      if (k == SIZE_MAX) {
        k = keys.size();
        keys.push_back(**slot_key[item_slot[i]]);
      }
      sigs.push_back(jubjub::BatchSignature{jubjub::RawSignature{*r_[i], texts_[i]->s}, texts_[i]->msg, k});
      sig_item.push_back(i);
    }
  }

 private:
  using KeyItem = std::pair<std::array<uint64_t, 4>, size_t>;

  std::span<const VerifyArgs> items_;
  std::vector<std::optional<Texts>> texts_;
  std::vector<std::optional<Point>> r_;
  // Each range's distinct keys: the d-th at key_of_[first + d], and
  // key_at_[i] is where item i's key is.
  std::vector<std::optional<jubjub::PublicKey>> key_of_;
  std::vector<size_t> key_at_;
  std::vector<KeyItem> by_value_;
  std::vector<size_t> run_end_;  // per range, at its first item: the end of its sorted run
};

// verify_many on one run of at most kMaxBatchRun items, appended to `out`.
void verify_run(std::span<const VerifyArgs> items, std::vector<ItemResult<bool>>& out_all, const Spread& spread) {
  DecodedItems decoded(items);
  spread.for_ranges(items.size(), 1, [&](size_t first, size_t last) { decoded.decode(first, last); });
  // The well-formed items go to the batch; the others to verify_signature.
  std::vector<jubjub::PublicKey> keys;
  std::vector<jubjub::BatchSignature> sigs;
  std::vector<size_t> sig_item;
  std::vector<size_t> malformed;
  decoded.collect(keys, sigs, sig_item, malformed);
  const size_t first = out_all.size();
  out_all.resize(first + items.size(), Result<bool>(false));
  const std::span<ItemResult<bool>> out = std::span(out_all).subspan(first);
  spread.for_each(malformed.size(), [&](size_t k) { out[malformed[k]] = verify_one(items[malformed[k]]); });
  const std::vector<bool> valid = verify_batch_vartime(keys, sigs, spread);
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
