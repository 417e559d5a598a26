// Public keys that recent verifications decoded and checked, remembered for
// the next verification under the same key: a desk that verifies many
// signatures of one signer decodes its key (a square root) and checks its
// subgroup (a pairing) once, and from the key's third verification on keeps
// its quarter tables too, with which R is recomputed instead of decoded.
//
// The one state the core keeps between calls besides its constant tables:
// fixed size, never destroyed, never waited for. A call that finds the
// memory busy (another thread in it, or a lock left held by the process this
// one was forked from, which it takes over) goes on without it. Public data
// only.
#pragma once

#include <sys/types.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "crypto/jubjub/checked_key.hpp"
#include "crypto/jubjub/point.hpp"

namespace quillet::sdk::keys {

class RememberedKeys {
 public:
  static constexpr size_t kSlots = 128;
  // Two ways per set: two keys whose encodings share a set both stay.
  static constexpr size_t kWays = 2;
  // Uses before the one that makes the quarter tables.
  static constexpr uint8_t kUsesBeforeQuarters = 2;

  constexpr RememberedKeys() = default;
  RememberedKeys(const RememberedKeys&) = delete;
  RememberedKeys& operator=(const RememberedKeys&) = delete;

  // The key remembered under `encoding`, counted as one more use; from its
  // third use on (remember counts as the first) with all four quarter tables,
  // made then (outside the lock) and remembered with it. Nothing if it is not
  // here or the memory is busy.
  std::optional<jubjub::CheckedKey> recall(const jubjub::PointEncoding& encoding);

  // Remembers `key`, which must be jubjub::check_key_vartime of the point
  // `encoding` decodes to (an encoding that does not decode has no key). A
  // key already here keeps its slot; otherwise the two ways of its set are
  // taken in turn. Nothing happens if the memory is busy.
  void remember(const jubjub::PointEncoding& encoding, const jubjub::CheckedKey& key);

 private:
  static constexpr size_t kSets = kSlots / kWays;
  static_assert(kSets * kWays == kSlots && (kSets & (kSets - 1)) == 0);

  // Plain bytes, so that no constructor runs and no destructor is
  // registered: the memory outlives every reader (see crypto/immortal.hpp).
  struct Slot {
    jubjub::PointEncoding encoding{};
    std::array<unsigned char, sizeof(jubjub::CheckedKey)> key{};
    uint8_t uses = 0;  // recalls since it was remembered, up to 255
  };

  class TryLock;

  // The slot holding `encoding`, or kSlots. Under the lock.
  size_t find(const jubjub::PointEncoding& encoding) const;
  // Writes `key` under `encoding` into slot i. Under the lock.
  void store(size_t i, const jubjub::PointEncoding& encoding, const jubjub::CheckedKey& key, uint8_t uses);

  // A slot's flag in filled_ is cleared before the slot is rewritten and set
  // after, so a fork child that takes over a lock its parent held ignores a
  // half-written slot. Everything else is read and written under the lock.
  Slot slots_[kSlots]{};
  std::atomic<uint8_t> filled_[kSlots]{};
  std::atomic<uint8_t> next_way_[kSets]{};
  // 0: free; otherwise the process whose thread holds it.
  std::atomic<pid_t> owner_{0};
};

// The process's remembered keys, in static storage (never destroyed).
RememberedKeys& remembered_keys();

}  // namespace quillet::sdk::keys
