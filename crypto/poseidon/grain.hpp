// The Grain LFSR that generates the Poseidon round constants and the Cauchy
// MDS matrix from the instance's parameters, and the raw parameters it
// yields.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "crypto/field/fr.hpp"
#include "crypto/poseidon/matrix.hpp"

namespace quillet::poseidon {

using field::Fr;

// Width of the state, rate and capacity of the system's Poseidon instance.
inline constexpr size_t kWidth = 9;
inline constexpr size_t kRate = 8;

// Significant bits of the modulus of Fr.
inline constexpr unsigned kFieldBits = 254;

class Grain {
 public:
  // An 80-bit register seeded with the instance description (prime field,
  // x^alpha S-box, field size, width, round counts) and warmed up by 160
  // steps. Fails hard when r_f is odd or a value does not fit its field.
  Grain(size_t width, size_t r_f, size_t r_p, unsigned field_bits = kFieldBits);

  // Advances the register one step and returns the new bit.
  bool new_bit();

  // A uniform element: raw samples not below p are discarded.
  Fr next_field_element();

  // A raw sample reduced mod p; never rejects.
  Fr next_field_element_without_rejection();

  // Raw samples discarded so far by next_field_element.
  size_t rejected_samples() const { return rejected_; }

 private:
  bool filtered_bit();
  // `field_bits` filtered bits, the first one most significant, as 32
  // little-endian bytes.
  std::array<uint8_t, 32> raw_sample();

  // Bit i of the register is bits_ bit i: bit 0 is the oldest.
  field::detail::u128 bits_ = 0;
  unsigned field_bits_;
  size_t rejected_ = 0;
};

using Row = std::array<Fr, kWidth>;

// What one run of the register yields.
struct RawParameters {
  std::vector<Row> constants;  // r_f + r_p rows, in round order
  Row xs;
  Row ys;
  MDSMatrix mds;  // mds[i][j] = (xs[i] + ys[j])^-1
  size_t rejected_samples = 0;
};

// Runs a fresh register for the width-9 instance with r_f full and r_p
// partial rounds. Fails hard on a zero Cauchy denominator.
RawParameters generate(size_t r_f, size_t r_p);

}  // namespace quillet::poseidon
