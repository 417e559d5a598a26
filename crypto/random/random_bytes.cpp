#include "crypto/random/random_bytes.hpp"

#include <sys/random.h>

#include <cerrno>

namespace quillet::random {

bool fill_random(std::span<uint8_t> out) {
  size_t done = 0;
  while (done < out.size()) {
    const ssize_t got = getrandom(out.data() + done, out.size() - done, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(got);
  }
  return true;
}

}  // namespace quillet::random
