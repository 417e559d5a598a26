// Precomputed multiples of one fixed base B. For secret scalars: row i holds
// 1·64^i·B, ..., 32·64^i·B in affine form, and k·B is the sum over the 42
// signed radix-64 digits of k of one entry per row, no doublings (radix 64
// costs four times the scan of radix 16 but 21 fewer additions). For public
// scalars in a multi-scalar multiplication: the odd multiples 1·P ... 127·P
// of P = B and P = 2^128·B, read by width-8 NAFs of the scalar's two halves.
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <span>
#include <vector>

#include "crypto/cpu/cpu.hpp"
#include "crypto/field/fr.hpp"
#include "crypto/jubjub/edwards.hpp"
#include "crypto/jubjub/fs.hpp"
#include "crypto/jubjub/point.hpp"
#include "crypto/jubjub/scalar_recoding.hpp"

namespace quillet::jubjub {

namespace fixed_base_lanes {
struct Table;
}

// The kernel of mul_many chosen once per process (cpu::dispatch(),
// QUILLET_LANES): ifma where the processor has it, else scalar.
inline cpu::LaneKernel fixed_base_kernel() { return cpu::lane_kernel(cpu::LaneFamily::fixed_base); }

// How a table row is scanned: with 16-byte vector operations, or where the
// processor has them with AVX2's 32-byte or AVX-512's 64-byte ones. All read
// every entry the same way and pick by mask. cpu::runs(s) says whether `s`
// runs here, cpu::dispatch().scan() is the process's.
using cpu::ScanInstructions;

class FixedBaseTable {
 public:
  static constexpr unsigned kWindow = 6;
  static constexpr size_t kRows = kRadix64Digits;
  static constexpr size_t kColumns = size_t{1} << (kWindow - 1);
  static constexpr unsigned kNafWidth = 8;
  static constexpr size_t kOddMultiples = size_t{1} << (kNafWidth - 2);
  static constexpr unsigned kHalfBits = 128;

  // Builds the 1472 entries (42 rows of 31 additions and a doubling, 128
  // doublings to 2^128·B, two runs of 63 additions, then one batch
  // inversion): about 19000 field multiplications.
  explicit FixedBaseTable(const Point<PrimeOrder>& base);

  // k·B in time independent of k, for private keys and nonces: each row is
  // read by a masked scan of all its entries, 42 mixed additions (7M each).
  // `scan` (fails hard where it does not run) changes the speed, never the
  // result.
  Point<PrimeOrder> mul(const Fs& k, ScanInstructions scan = cpu::dispatch().scan()) const;

  // out[i] = k[i]·B, each as mul gives it, in time independent of the
  // scalars. The lane kernels take eight at a time (a last block of fewer is
  // filled with zeros: the lanes cost the same whatever they hold); scalar
  // calls mul for each; a kernel that does not run here falls back to
  // scalar. Fails hard on mismatched lengths.
  void mul_many(std::span<const Fs> k, std::span<Point<PrimeOrder>> out,
                cpu::LaneKernel kernel = fixed_base_kernel()) const;

  // k·B (the point mul gives, in other coordinates) in time independent of
  // k, the table's rows spread over the lanes: about 0.6 of mul's time on
  // the IFMA kernel. Scalar (or a kernel that does not run here) calls mul;
  // the emulated kernel, slower than mul, is there for tests and forcing.
  Point<PrimeOrder> mul_lanes(const Fs& k, cpu::LaneKernel kernel = fixed_base_kernel()) const;
  // a·B and b·B the same way, four lanes each, for two independent secrets:
  // about 0.4 of mul's time each.
  std::array<Point<PrimeOrder>, 2> mul_pair(const Fs& a, const Fs& b,
                                            cpu::LaneKernel kernel = fixed_base_kernel()) const;

  // The entries as the lane kernels read them (for their tests).
  const fixed_base_lanes::Table& lane_table() const { return *lanes_; }

  // (2j + 1)·B for half 0 and (2j + 1)·2^128·B for half 1, j below 64.
  const detail::AffineNiels* odd_multiples(size_t half) const { return odd_[half].data(); }

 private:
  std::vector<detail::AffineNiels> entries_;
  std::array<std::vector<detail::AffineNiels>, 2> odd_;
  // The entries in the lanes' form, public (shared: the table is copyable).
  std::shared_ptr<const fixed_base_lanes::Table> lanes_;
};

}  // namespace quillet::jubjub
