#include "sdk/src/keys/remembered_keys.hpp"

#include <unistd.h>

#include <bit>
#include <cstring>
#include <type_traits>

namespace quillet::sdk::keys {
namespace {

using jubjub::CheckedKey;
using jubjub::PointEncoding;

static_assert(std::is_trivially_copyable_v<CheckedKey> && std::is_trivially_destructible_v<CheckedKey>);
static_assert(std::is_trivially_destructible_v<RememberedKeys>);

// The process's memory: constant-initialised, so usable from the first call
// on any thread, and with no destructor to run at exit.
constinit RememberedKeys g_remembered;

}  // namespace

// The lock, tried once: never waits.
class RememberedKeys::TryLock {
 public:
  explicit TryLock(std::atomic<pid_t>& owner) : owner_(owner), self_(getpid()) {
    pid_t seen = 0;
    if (owner_.compare_exchange_strong(seen, self_, std::memory_order_acquire)) {
      held_ = true;
    } else if (seen != self_) {
      // Held by a thread of the process this one was forked from: no thread
      // here will ever release it.
      held_ = owner_.compare_exchange_strong(seen, self_, std::memory_order_acquire);
    }
  }
  ~TryLock() {
    if (held_) owner_.store(0, std::memory_order_release);
  }
  TryLock(const TryLock&) = delete;
  TryLock& operator=(const TryLock&) = delete;

  bool held() const { return held_; }

 private:
  std::atomic<pid_t>& owner_;
  pid_t self_;
  bool held_ = false;
};

namespace {

size_t set_of(const PointEncoding& encoding) {
  uint64_t low = 0;
  uint64_t high = 0;
  std::memcpy(&low, encoding.data(), sizeof low);
  std::memcpy(&high, encoding.data() + 24, sizeof high);
  return static_cast<size_t>((low ^ (high >> 32) ^ (low >> 29)) & (RememberedKeys::kSlots / RememberedKeys::kWays - 1));
}

}  // namespace

size_t RememberedKeys::find(const PointEncoding& encoding) const {
  const size_t first = set_of(encoding) * kWays;
  for (size_t i = first; i < first + kWays; ++i) {
    if (filled_[i].load(std::memory_order_relaxed) != 0 && slots_[i].encoding == encoding) return i;
  }
  return kSlots;
}

void RememberedKeys::store(size_t i, const PointEncoding& encoding, const CheckedKey& key, uint8_t uses) {
  filled_[i].store(0, std::memory_order_relaxed);
  std::atomic_thread_fence(std::memory_order_release);
  slots_[i].encoding = encoding;
  slots_[i].key = std::bit_cast<std::array<unsigned char, sizeof(CheckedKey)>>(key);
  slots_[i].uses = uses;
  filled_[i].store(1, std::memory_order_release);
}

std::optional<CheckedKey> RememberedKeys::recall(const PointEncoding& encoding) {
  std::optional<CheckedKey> key;
  uint8_t uses = 0;
  {
    const TryLock lock(owner_);
    if (!lock.held()) return std::nullopt;
    const size_t i = find(encoding);
    if (i == kSlots) return std::nullopt;
    key = std::bit_cast<CheckedKey>(slots_[i].key);
    if (slots_[i].uses != UINT8_MAX) ++slots_[i].uses;
    uses = slots_[i].uses;
  }
  if (key->has_quarters || uses < kUsesBeforeQuarters) return key;
  // About 20 µs: made with the lock free, kept if the slot still holds the key.
  key = jubjub::with_quarters_vartime(*key);
  const TryLock lock(owner_);
  if (!lock.held()) return key;
  if (const size_t i = find(encoding); i != kSlots) store(i, encoding, *key, slots_[i].uses);
  return key;
}

void RememberedKeys::remember(const PointEncoding& encoding, const CheckedKey& key) {
  const TryLock lock(owner_);
  if (!lock.held()) return;
  // A key already here (a call that found the memory busy checks it again)
  // keeps its slot.
  if (find(encoding) != kSlots) return;
  const size_t set = set_of(encoding);
  const uint8_t way = next_way_[set].load(std::memory_order_relaxed);
  next_way_[set].store(static_cast<uint8_t>((way + 1) % kWays), std::memory_order_relaxed);
  store(set * kWays + way, encoding, key, 0);
}

RememberedKeys& remembered_keys() { return g_remembered; }

}  // namespace quillet::sdk::keys
