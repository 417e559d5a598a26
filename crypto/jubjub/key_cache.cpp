#include "crypto/jubjub/key_cache.hpp"

#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "crypto/jubjub/params.hpp"

namespace quillet::jubjub {
namespace {

static_assert(std::is_trivially_copyable_v<CheckedKey> && std::is_trivially_destructible_v<CheckedKey>);

// Two ways per set: two keys whose encodings share a set both stay.
constexpr size_t kWays = 2;
constexpr size_t kSets = kKeyCacheSlots / kWays;
static_assert(kSets * kWays == kKeyCacheSlots && (kSets & (kSets - 1)) == 0);

// Plain bytes, so that no constructor runs and no destructor is registered:
// the slots outlive every reader (see crypto/immortal.hpp).
struct Slot {
  PointEncoding encoding;
  std::array<unsigned char, sizeof(CheckedKey)> key;
};

// A slot's word in `filled` is cleared before the slot is rewritten and set
// after, so a fork child that takes over a lock its parent held ignores a
// half-written slot. Everything else is read and written under the lock.
Slot g_slots[kKeyCacheSlots];
std::atomic<uint8_t> g_filled[kKeyCacheSlots];
std::atomic<uint8_t> g_next_way[kSets];
// 0: free; otherwise the process whose thread holds it.
std::atomic<pid_t> g_owner{0};

size_t set_of(const PointEncoding& encoding) {
  uint64_t low = 0;
  uint64_t high = 0;
  std::memcpy(&low, encoding.data(), sizeof low);
  std::memcpy(&high, encoding.data() + 24, sizeof high);
  return static_cast<size_t>((low ^ (high >> 32) ^ (low >> 29)) & (kSets - 1));
}

// The cache's lock, tried once: never waits.
class TryLock {
 public:
  TryLock() : self_(getpid()) {
    pid_t seen = 0;
    if (g_owner.compare_exchange_strong(seen, self_, std::memory_order_acquire)) {
      held_ = true;
    } else if (seen != self_) {
      // Held by a thread of the process this one was forked from: no thread
      // here will ever release it.
      held_ = g_owner.compare_exchange_strong(seen, self_, std::memory_order_acquire);
    }
  }
  ~TryLock() {
    if (held_) g_owner.store(0, std::memory_order_release);
  }
  TryLock(const TryLock&) = delete;
  TryLock& operator=(const TryLock&) = delete;

  bool held() const { return held_; }

 private:
  pid_t self_;
  bool held_ = false;
};

}  // namespace

std::optional<CheckedKey> find_checked_key(const PointEncoding& encoding) {
  const TryLock lock;
  if (!lock.held()) return std::nullopt;
  const size_t first = set_of(encoding) * kWays;
  for (size_t i = first; i < first + kWays; ++i) {
    if (g_filled[i].load(std::memory_order_relaxed) == 0) continue;
    if (g_slots[i].encoding != encoding) continue;
    CheckedKey key = std::bit_cast<CheckedKey>(g_slots[i].key);
    if (key.found != UINT8_MAX) {
      ++key.found;
      g_slots[i].key[offsetof(CheckedKey, found)] = key.found;
    }
    return key;
  }
  return std::nullopt;
}

namespace {

// Stores `key` under `encoding` in `i`, the slot being held by the lock.
void store(size_t i, const PointEncoding& encoding, const CheckedKey& key) {
  g_filled[i].store(0, std::memory_order_relaxed);
  std::atomic_thread_fence(std::memory_order_release);
  g_slots[i].encoding = encoding;
  g_slots[i].key = std::bit_cast<std::array<unsigned char, sizeof(CheckedKey)>>(key);
  g_filled[i].store(1, std::memory_order_release);
}

}  // namespace

CheckedKey key_before_check(const Point<Unknown>& decoded) {
  CheckedKey key{decoded, false, false, 0, {}};
  key.quarters[0] = detail::odd_multiples(detail::PointAccess::coords(decoded), kEdwardsD + kEdwardsD);
  return key;
}

CheckedKey check_key_vartime(const PointEncoding& encoding, const Point<Unknown>& decoded) {
  CheckedKey key = key_before_check(decoded);
  key.in_subgroup = decoded.is_in_prime_order_subgroup_vartime(jubjub_params());
  remember_checked_key(encoding, key);
  return key;
}

void remember_checked_key(const PointEncoding& encoding, const CheckedKey& key) {
  const TryLock lock;
  if (!lock.held()) return;
  const size_t set = set_of(encoding);
  // A key already here (a call that found the cache busy checks it again)
  // keeps its slot; otherwise the ways are taken in turn.
  for (size_t i = set * kWays; i < (set + 1) * kWays; ++i) {
    if (g_filled[i].load(std::memory_order_relaxed) != 0 && g_slots[i].encoding == encoding) return;
  }
  const uint8_t way = g_next_way[set].load(std::memory_order_relaxed);
  g_next_way[set].store(static_cast<uint8_t>((way + 1) % kWays), std::memory_order_relaxed);
  store(set * kWays + way, encoding, key);
}

CheckedKey add_quarters_vartime(const PointEncoding& encoding, const CheckedKey& key) {
  CheckedKey out = key;
  const Fr d2 = kEdwardsD + kEdwardsD;
  detail::Extended p = detail::PointAccess::coords(key.point);
  for (size_t q = 1; q < out.quarters.size(); ++q) {
    p = detail::times_2_64(p);
    out.quarters[q] = detail::odd_multiples(p, d2);
  }
  out.has_quarters = true;
  const TryLock lock;
  if (!lock.held()) return out;
  const size_t first = set_of(encoding) * kWays;
  for (size_t i = first; i < first + kWays; ++i) {
    if (g_filled[i].load(std::memory_order_relaxed) != 0 && g_slots[i].encoding == encoding) store(i, encoding, out);
  }
  return out;
}

}  // namespace quillet::jubjub
