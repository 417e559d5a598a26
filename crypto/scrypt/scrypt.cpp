#include "crypto/scrypt/scrypt.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "crypto/failure.hpp"
#include "crypto/scrypt/pbkdf2.hpp"
#include "crypto/secrets/wipe.hpp"

namespace quillet::scrypt {
namespace {

// Transparent huge pages come in 2 MiB on x86-64 and on aarch64 with 4 KiB
// pages; other sizes just get fewer of them.
constexpr uint64_t kHugePage = uint64_t{2} << 20;

// Whether this is a virtual machine whose balloon hands free memory back to
// the host in blocks of a huge page (virtio's free page reporting, feature
// bit 5). A huge page there is most likely one the host has discarded, and
// faulting it in again costs the host a fault per small page: 256 MiB took
// 630 ms of system time in huge pages against 120 ms in small ones. Read on
// each call (a directory and a file or two in sysfs): no state to keep
// across fork().
bool free_pages_reported() {
  constexpr const char* kBalloons = "/sys/bus/virtio/drivers/virtio_balloon";
  DIR* dir = opendir(kBalloons);
  if (dir == nullptr) return false;
  bool reported = false;
  while (const dirent* entry = readdir(dir)) {
    if (std::strncmp(entry->d_name, "virtio", 6) != 0) continue;
    const std::string path = std::string(kBalloons) + "/" + entry->d_name + "/features";
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    char bits[8] = {};
    reported = reported || (read(fd, bits, sizeof bits) > 5 && bits[5] == '1');
    close(fd);
  }
  closedir(dir);
  return reported;
}

// scrypt's memory: V, then X and Y, then B, in one private anonymous mapping
// made for one call. Its own mapping rather than the heap: the pages are the
// kernel's again at once when it is unmapped (zeroed before anyone else gets
// them); V starts on a huge-page boundary, in huge pages where they are
// cheap to fault in (when it fills one), so that the random reads of ROMix's
// second loop miss the TLB far less often and the first loop takes a page
// fault per 2 MiB instead of per 4 KiB (sys time 30-50 ms against 85-120 ms
// for 256 MiB, and 20-40 ms less user time); and the mapping stays out of
// core dumps.
class ScryptMemory {
 public:
  explicit ScryptMemory(const ScryptParams& s)
      : v_bytes_(uint64_t{128} * s.r * s.n), xy_bytes_(uint64_t{256} * s.r), b_bytes_(uint64_t{128} * s.r * s.p) {
    const uint64_t bytes = v_bytes_ + xy_bytes_ + b_bytes_;
    // Below a huge page, a huge page would only be more to zero.
    const bool huge = bytes >= kHugePage && !free_pages_reported();
    length_ = huge ? (bytes + kHugePage - 1) / kHugePage * kHugePage : bytes;
    if (huge) {
      // Over-mapped by a huge page, then trimmed to start on its boundary.
      void* raw = mmap(nullptr, length_ + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      if (raw != MAP_FAILED) {
        const auto at = reinterpret_cast<uintptr_t>(raw);
        const uintptr_t start = (at + kHugePage - 1) & ~(kHugePage - 1);
        if (start > at) munmap(raw, start - at);
        if (start + length_ < at + length_ + kHugePage) {
          munmap(reinterpret_cast<void*>(start + length_), at + length_ + kHugePage - (start + length_));
        }
        base_ = reinterpret_cast<uint8_t*>(start);
      }
    }
    if (base_ == nullptr) {  // small, or too short of address space for the slack
      void* raw = mmap(nullptr, length_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      if (raw == MAP_FAILED) return;
      base_ = static_cast<uint8_t*>(raw);
    }
    // Advice only: a system without transparent huge pages (EINVAL) or that
    // dumps everything still runs scrypt.
#if defined(MADV_HUGEPAGE)
    if (huge) madvise(base_, length_, MADV_HUGEPAGE);
#endif
#if defined(MADV_DONTDUMP)
    madvise(base_, length_, MADV_DONTDUMP);
#endif
  }

  // Wipes everything (V, X, Y, B) and unmaps. Any block of V checks a
  // passphrase guess without scrypt's memory (V[i] costs i block mixes, V[0]
  // one HMAC), so V goes too: a tenth of the derivation's time at the
  // default (bench/scrypt_bench.cpp, BM_WipeScryptV).
  ~ScryptMemory() {
    if (base_ == nullptr) return;
    secrets::wipe(base_, v_bytes_ + xy_bytes_ + b_bytes_);
    munmap(base_, length_);
  }
  ScryptMemory(const ScryptMemory&) = delete;
  ScryptMemory& operator=(const ScryptMemory&) = delete;

  bool mapped() const { return base_ != nullptr; }
  uint32_t* v() const { return reinterpret_cast<uint32_t*>(base_); }
  uint32_t* xy() const { return reinterpret_cast<uint32_t*>(base_ + v_bytes_); }
  std::span<uint8_t> b() const { return {base_ + v_bytes_ + xy_bytes_, b_bytes_}; }

 private:
  uint64_t v_bytes_, xy_bytes_, b_bytes_;
  uint64_t length_ = 0;
  uint8_t* base_ = nullptr;
};

}  // namespace

std::optional<ScryptFault> scrypt_vartime(std::span<const uint8_t> passphrase, std::span<const uint8_t> salt,
                                          const ScryptParams& params, std::span<uint8_t> out, SalsaKernel k) {
  if (!scrypt_within_bounds(params)) {
    fail_hard("scrypt: n=" + std::to_string(params.n) + ", r=" + std::to_string(params.r) +
              ", p=" + std::to_string(params.p) + " are outside the keystore bounds");
  }
  if (out.empty() || out.size() > kMaxScryptOutput) fail_hard("scrypt: output length outside [1, 1024]");
  if (!cpu::runs(k)) fail_hard("scrypt: the Salsa20/8 kernel does not run on this processor");
  const ScryptMemory memory(params);
  if (!memory.mapped()) return ScryptFault::memory;
  const std::span<uint8_t> b = memory.b();
  pbkdf2_sha256(passphrase, salt, 1, b);
  for (uint32_t i = 0; i < params.p; ++i) {
    romix_vartime(k, b.data() + uint64_t{128} * params.r * i, params.r, params.n, memory.v(), memory.xy());
  }
  pbkdf2_sha256(passphrase, b, 1, out);
  return std::nullopt;
}

}  // namespace quillet::scrypt
