// scrypt and its PBKDF2 against RFC 7914's known answers and libcrypto's
// own functions, and every ROMix kernel this processor runs against a plain
// reference written from the RFC's definitions.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>

#include <array>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "crypto/failure.hpp"
#include "crypto/scrypt/kernels.hpp"
#include "crypto/scrypt/pbkdf2.hpp"
#include "crypto/scrypt/scrypt.hpp"

namespace quillet::scrypt {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes bytes_of(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes from_hex(const std::string& hex) {
  Bytes out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

Bytes random_bytes(std::mt19937_64& rng, size_t n) {
  Bytes out(n);
  for (uint8_t& c : out) c = static_cast<uint8_t>(rng());
  return out;
}

std::vector<SalsaKernel> kernels() {
  std::vector<SalsaKernel> out;
  for (SalsaKernel k : kSalsaKernels) {
    if (cpu::runs(k)) out.push_back(k);
  }
  return out;
}

Bytes derive(const Bytes& passphrase, const Bytes& salt, ScryptParams s, size_t length, SalsaKernel k) {
  Bytes out(length);
  EXPECT_FALSE(scrypt_vartime(passphrase, salt, s, out, k).has_value());
  return out;
}

Bytes libcrypto_scrypt(const Bytes& passphrase, const Bytes& salt, ScryptParams s, size_t length) {
  Bytes out(length);
  const int ok = EVP_PBE_scrypt(reinterpret_cast<const char*>(passphrase.data()), passphrase.size(), salt.data(),
                                salt.size(), s.n, s.r, s.p, scrypt_memory(s) + (1 << 20), out.data(), out.size());
  EXPECT_EQ(ok, 1);
  return out;
}

// --- the plain reference: RFC 7914's definitions, word by word ------------

uint32_t rotl(uint32_t x, int k) { return (x << k) | (x >> (32 - k)); }

void salsa20_8(uint32_t b[16]) {
  uint32_t x[16];
  std::memcpy(x, b, sizeof x);
  const auto r = [&](int to, int a, int c, int k) { x[to] ^= rotl(x[a] + x[c], k); };
  for (int i = 0; i < 8; i += 2) {
    r(4, 0, 12, 7), r(8, 4, 0, 9), r(12, 8, 4, 13), r(0, 12, 8, 18);
    r(9, 5, 1, 7), r(13, 9, 5, 9), r(1, 13, 9, 13), r(5, 1, 13, 18);
    r(14, 10, 6, 7), r(2, 14, 10, 9), r(6, 2, 14, 13), r(10, 6, 2, 18);
    r(3, 15, 11, 7), r(7, 3, 15, 9), r(11, 7, 3, 13), r(15, 11, 7, 18);
    r(1, 0, 3, 7), r(2, 1, 0, 9), r(3, 2, 1, 13), r(0, 3, 2, 18);
    r(6, 5, 4, 7), r(7, 6, 5, 9), r(4, 7, 6, 13), r(5, 4, 7, 18);
    r(11, 10, 9, 7), r(8, 11, 10, 9), r(9, 8, 11, 13), r(10, 9, 8, 18);
    r(12, 15, 14, 7), r(13, 12, 15, 9), r(14, 13, 12, 13), r(15, 14, 13, 18);
  }
  for (int i = 0; i < 16; ++i) b[i] += x[i];
}

// B as 32·r little-endian words.
std::vector<uint32_t> words_of(const uint8_t* b, uint32_t r) {
  std::vector<uint32_t> w(32 * r);
  for (size_t i = 0; i < w.size(); ++i) {
    w[i] = b[4 * i] | uint32_t{b[4 * i + 1]} << 8 | uint32_t{b[4 * i + 2]} << 16 | uint32_t{b[4 * i + 3]} << 24;
  }
  return w;
}

std::vector<uint32_t> block_mix(const std::vector<uint32_t>& b, uint32_t r) {
  std::vector<uint32_t> y(b.size());
  uint32_t x[16];
  std::memcpy(x, &b[(2 * r - 1) * 16], sizeof x);
  for (uint32_t i = 0; i < 2 * r; ++i) {
    for (int k = 0; k < 16; ++k) x[k] ^= b[i * 16 + k];
    salsa20_8(x);
    std::memcpy(&y[(i / 2 + (i % 2) * r) * 16], x, sizeof x);
  }
  return y;
}

void reference_romix(uint8_t* b, uint32_t r, uint64_t n) {
  std::vector<uint32_t> x = words_of(b, r);
  std::vector<std::vector<uint32_t>> v(n);
  for (uint64_t i = 0; i < n; ++i) {
    v[i] = x;
    x = block_mix(x, r);
  }
  for (uint64_t i = 0; i < n; ++i) {
    const uint64_t j = x[(2 * r - 1) * 16] % n;
    for (size_t k = 0; k < x.size(); ++k) x[k] ^= v[j][k];
    x = block_mix(x, r);
  }
  for (size_t i = 0; i < x.size(); ++i) {
    for (int k = 0; k < 4; ++k) b[4 * i + k] = static_cast<uint8_t>(x[i] >> (8 * k));
  }
}

// --- known answers ------------------------------------------------------------

struct Vector {
  std::string passphrase, salt;
  ScryptParams params;
  std::string dk;  // hex, 64 bytes
};

// RFC 7914, section 12 (its fourth vector, n = 2^20, in its own test below).
const Vector kScryptVectors[] = {
    {"", "", {16, 1, 1},
     "77d6576238657b203b19ca42c18a0497f16b4844e3074ae8dfdffa3fede21442"
     "fcd0069ded0948f8326a753a0fc81f17e8d3e0fb2e0d3628cf35e20c38d18906"},
    {"password", "NaCl", {1024, 8, 16},
     "fdbabe1c9d3472007856e7190d01e9fe7c6ad7cbc8237830e77376634b373162"
     "2eaf30d92e22a3886ff109279d9830dac727afb94a83ee6d8360cbdfa2cc0640"},
    {"pleaseletmein", "SodiumChloride", {16384, 8, 1},
     "7023bdcb3afd7348461c06cd81fd38ebfda8fbba904f8e3ea9b543f6545da1f2"
     "d5432955613f0fcf62d49705242a9af9e61e85dc0d651e40dfcf017b45575887"},
};

TEST(Scrypt, KnownAnswersOnEveryKernel) {
  for (SalsaKernel k : kernels()) {
    for (const Vector& v : kScryptVectors) {
      EXPECT_EQ(derive(bytes_of(v.passphrase), bytes_of(v.salt), v.params, 64, k), from_hex(v.dk))
          << salsa_kernel_name(k) << " n=" << v.params.n;
    }
  }
}

// The costliest keystore accepted: four times the default's memory and work.
TEST(Scrypt, KnownAnswerAtTheBounds) {
  const ScryptParams s = {uint64_t{1} << 20, 8, 1};
  ASSERT_TRUE(scrypt_within_bounds(s));
  EXPECT_EQ(derive(bytes_of("pleaseletmein"), bytes_of("SodiumChloride"), s, 64, salsa_kernel()),
            from_hex("2101cb9b6a511aaeaddbbe09cf70f881ec568d574a2ffd4dabe5ee9820adaa47"
                     "8e56fd8f4ba5d09ffa1c6d927c40f4c337304049e8a952fbcbf45c6fa77a41a4"));
}

// RFC 7914, section 11.
TEST(Pbkdf2, KnownAnswers) {
  struct Case {
    std::string passphrase, salt;
    uint32_t iterations;
    std::string dk;
  };
  const Case cases[] = {
      {"passwd", "salt", 1,
       "55ac046e56e3089fec1691c22544b605f94185216dde0465e68b9d57c20dacbc"
       "49ca9cccf179b645991664b39d77ef317c71b845b1e30bd509112041d3a19783"},
      {"Password", "NaCl", 80000,
       "4ddcd8f60b98be21830cee5ef22701f9641a4418d04c0414aeff08876b34ab56"
       "a1d425a1225833549adb841b51c9b3176a272bdebba1d078478f62b397f33c8d"},
  };
  for (const Case& c : cases) {
    Bytes out(64);
    pbkdf2_sha256(bytes_of(c.passphrase), bytes_of(c.salt), c.iterations, out);
    EXPECT_EQ(out, from_hex(c.dk)) << c.passphrase;
  }
}

// --- equality with the reference and with libcrypto -------------------------

TEST(Romix, EveryKernelEqualsTheReference) {
  std::mt19937_64 rng(7914);
  struct Shape {
    uint32_t r;
    uint64_t n;
  };
  const Shape shapes[] = {{1, 2}, {1, 16}, {2, 4}, {3, 64}, {8, 2}, {8, 1024}, {17, 8}, {32, 32}};
  for (const Shape& shape : shapes) {
    for (int round = 0; round < 3; ++round) {
      Bytes b = random_bytes(rng, 128 * shape.r);
      if (round == 1) std::fill(b.begin(), b.end(), 0xff);
      Bytes want = b;
      reference_romix(want.data(), shape.r, shape.n);
      for (SalsaKernel k : kernels()) {
        std::vector<uint32_t> memory(32 * shape.r * (shape.n + 2) + 16);
        // 64-byte aligned inside the vector.
        auto* v = reinterpret_cast<uint32_t*>((reinterpret_cast<uintptr_t>(memory.data()) + 63) & ~uintptr_t{63});
        Bytes got = b;
        romix_vartime(k, got.data(), shape.r, shape.n, v, v + 32 * shape.r * shape.n);
        EXPECT_EQ(got, want) << salsa_kernel_name(k) << " r=" << shape.r << " n=" << shape.n;
      }
    }
  }
}

TEST(Scrypt, EveryKernelEqualsLibcryptoOnRandomInputs) {
  std::mt19937_64 rng(41);
  // Lengths around a SHA-256 block (a passphrase above 64 bytes is hashed
  // first; a salt of 52..56 bytes moves the counter's padding to a second
  // block) and costs of every shape the bounds let by.
  const size_t lengths[] = {0, 1, 31, 52, 55, 56, 64, 65, 200};
  const ScryptParams shapes[] = {{2, 1, 1}, {16, 1, 3}, {1 << 10, 2, 2}, {64, 3, 5}, {256, 8, 1},
                                 {8, 32, 1}, {4, 4, 32}, {1 << 12, 1, 1}};
  const size_t outputs[] = {1, 31, 32, 33, 64, 1024};
  for (SalsaKernel k : kernels()) {
    for (size_t i = 0; i < std::size(shapes); ++i) {
      const Bytes passphrase = random_bytes(rng, lengths[rng() % std::size(lengths)]);
      const Bytes salt = random_bytes(rng, lengths[rng() % std::size(lengths)]);
      const size_t length = outputs[i % std::size(outputs)];
      EXPECT_EQ(derive(passphrase, salt, shapes[i], length, k), libcrypto_scrypt(passphrase, salt, shapes[i], length))
          << salsa_kernel_name(k) << " n=" << shapes[i].n << " r=" << shapes[i].r << " p=" << shapes[i].p
          << " passphrase " << passphrase.size() << " salt " << salt.size() << " out " << length;
    }
  }
}

TEST(Pbkdf2, EqualsLibcryptoOnRandomInputs) {
  std::mt19937_64 rng(8018);
  const size_t lengths[] = {0, 1, 32, 51, 52, 55, 56, 63, 64, 65, 119, 120, 1000};
  const uint32_t iterations[] = {1, 2, 3, 1000};
  const size_t outputs[] = {1, 20, 32, 33, 64, 100, 1024};
  for (size_t i = 0; i < 40; ++i) {
    const Bytes passphrase = random_bytes(rng, lengths[rng() % std::size(lengths)]);
    const Bytes salt = random_bytes(rng, lengths[rng() % std::size(lengths)]);
    const uint32_t count = iterations[i % std::size(iterations)];
    Bytes got(outputs[i % std::size(outputs)]), want(got.size());
    pbkdf2_sha256(passphrase, salt, count, got);
    ASSERT_EQ(PKCS5_PBKDF2_HMAC(reinterpret_cast<const char*>(passphrase.data()), static_cast<int>(passphrase.size()),
                                salt.data(), static_cast<int>(salt.size()), static_cast<int>(count), EVP_sha256(),
                                static_cast<int>(want.size()), want.data()),
              1);
    EXPECT_EQ(got, want) << "passphrase " << passphrase.size() << " salt " << salt.size() << " c " << count;
  }
}

// --- bounds -------------------------------------------------------------------

TEST(Scrypt, BoundsOfAKeystoreThatIsRead) {
  struct Case {
    ScryptParams params;
    bool within;
  };
  const Case cases[] = {
      {{1 << 18, 8, 1}, true},            // the default
      {{1 << 20, 8, 1}, true},            // four times its memory and work
      {{1 << 18, 32, 1}, true},           // r at its bound
      {{1 << 15, 8, 32}, true},           // p at its bound
      {{2, 1, 1}, true},
      {{1 << 15, 1, 1}, true},            // below 2^(16·r)
      {{1 << 16, 1, 1}, false},           // not below 2^(16·r)
      {{1, 8, 1}, false},                 // n below 2
      {{0, 8, 1}, false},
      {{3 << 10, 8, 1}, false},           // not a power of two
      {{1 << 10, 0, 1}, false},
      {{1 << 10, 33, 1}, false},
      {{1 << 10, 8, 0}, false},
      {{1 << 10, 8, 33}, false},
      {{1 << 21, 8, 1}, false},           // memory 2 GiB, work 8 times
      {{1 << 21, 4, 1}, true},            // work four times, memory 1 GiB + 1.5 KiB
      {{1 << 21, 4, 30}, false},          // memory 1 GiB + 16 KiB
      {{1 << 20, 8, 2}, false},           // work 8 times
      {{uint64_t{1} << 63, 8, 1}, false},
      {{1 << 24, 1, 1}, false},           // 2^(16·r) is no bound for r >= 4; here n is too large
  };
  for (const Case& c : cases) {
    EXPECT_EQ(scrypt_within_bounds(c.params), c.within) << c.params.n << ' ' << c.params.r << ' ' << c.params.p;
    if (!c.within) {
      Bytes out(32);
      EXPECT_THROW(scrypt_vartime({}, {}, c.params, out), HardFailure) << c.params.n;
    }
  }
  for (size_t length : {size_t{0}, kMaxScryptOutput + 1}) {
    Bytes out(length);
    EXPECT_THROW(scrypt_vartime({}, {}, {16, 1, 1}, out), HardFailure) << length;
  }
  Bytes out(32);
  EXPECT_THROW(pbkdf2_sha256({}, {}, 0, out), HardFailure);
}

}  // namespace
}  // namespace quillet::scrypt
