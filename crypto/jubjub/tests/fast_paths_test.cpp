// Every fast path against its straightforward version (tests/reference.hpp),
// on reproducible random inputs and on the edge values of each recoding.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <optional>
#include <vector>

#include "crypto/jubjub/eddsa.hpp"
#include "crypto/jubjub/fixed_base.hpp"
#include "crypto/jubjub/fixed_base_lanes.hpp"
#include "crypto/jubjub/params.hpp"
#include "crypto/jubjub/scalar_recoding.hpp"
#include "crypto/jubjub/scalar_split.hpp"
#include "crypto/jubjub/tests/reference.hpp"
#include "crypto/jubjub/tests/test_support.hpp"

namespace quillet::jubjub {
namespace {

using reference::Rng;
using testing::same_checked_key;

const AltJubjubBn256& params() { return jubjub_params(); }
const Point<PrimeOrder>& g() { return params().generator(kSigningBase); }

Fs fs_of(const FsRepr& v) { return Fs::from_raw(v); }

// Horner from the top digit, modulo 2^256: the integer itself, not only its
// residue, must come back (points of small order see the difference).
template <unsigned W, size_t N>
void expect_signed_radix_rebuilds(const Fs& k, const std::array<int8_t, N>& digits) {
  FsRepr sum{};
  for (size_t i = digits.size(); i-- > 0;) {
    for (unsigned b = 0; b < W; ++b) {
      uint64_t carry = 0;
      for (auto& limb : sum) limb = field::detail::adc(limb, limb, carry);
    }
    const int d = digits[i];
    const FsRepr magnitude{static_cast<uint64_t>(d < 0 ? -d : d), 0, 0, 0};
    if (d < 0) {
      field::detail::sub_borrow(sum, sum, magnitude);
    } else {
      field::detail::add_carry(sum, sum, magnitude);
    }
    EXPECT_GE(d, -(1 << (W - 1)));
    EXPECT_LT(d, 1 << (W - 1));
  }
  EXPECT_EQ(sum, k.into_repr());
}

TEST(Recoding, SignedRadixDigitsRebuildTheScalar) {
  Rng rng(1);
  for (const Fs& k : reference::edge_scalars(rng, 200)) {
    expect_signed_radix_rebuilds<4>(k, signed_radix16(k));
    expect_signed_radix_rebuilds<6>(k, signed_radix64(k));
  }
}

TEST(Recoding, WnafIsSparseOddAndExact) {
  Rng rng(2);
  std::vector<FsRepr> values = {FsRepr{}, fs_char(), FsRepr{~0ULL, ~0ULL, ~0ULL, ~0ULL}, FsRepr{1, 0, 0, 0}};
  for (int i = 0; i < 200; ++i) values.push_back(rng.repr());
  for (const FsRepr& k : values) {
    const auto naf = wnaf_vartime<5>(k);
    // Rebuild k modulo 2^256 from the top digit down, with carries.
    FsRepr sum{};
    for (size_t i = naf.size(); i-- > 0;) {
      uint64_t carry = 0;
      for (auto& limb : sum) limb = field::detail::adc(limb, limb, carry);
      const int d = naf[i];
      const FsRepr magnitude{static_cast<uint64_t>(d < 0 ? -d : d), 0, 0, 0};
      if (d < 0) {
        field::detail::sub_borrow(sum, sum, magnitude);
      } else {
        field::detail::add_carry(sum, sum, magnitude);
      }
      if (d != 0) {
        EXPECT_EQ(d & 1, 1);
        EXPECT_LT(d < 0 ? -d : d, 16);
        for (size_t j = 1; j < 5 && i + j < naf.size(); ++j) EXPECT_EQ(naf[i + j], 0);
      }
    }
    EXPECT_EQ(sum, k);
  }
}

TEST(ScalarMultiplication, FixedBaseTableMatchesDoubleAndAdd) {
  Rng rng(3);
  const FixedBaseTable& table = signing_table();
  for (const Fs& k : reference::edge_scalars(rng, 40)) {
    const Point<PrimeOrder> expected = reference::mul(g(), k.into_repr(), params());
    for (ScanInstructions scan : {ScanInstructions::sse2, ScanInstructions::avx2, ScanInstructions::avx512}) {
      if (!cpu::runs(scan)) continue;
      EXPECT_TRUE(table.mul(k, scan) == expected) << field::repr_to_hex(k.into_repr());
    }
  }
  // The odd multiples that verification reads: (2j + 1)·G and (2j + 1)·2^128·G.
  const Point<Unknown> half = reference::mul(g(), FsRepr{0, 0, 1, 0}, params());
  for (size_t j = 0; j < FixedBaseTable::kOddMultiples; j += 9) {
    const FsRepr odd{2 * j + 1, 0, 0, 0};
    for (size_t h = 0; h < 2; ++h) {
      const detail::AffineNiels& e = table.odd_multiples(h)[j];
      const auto [x, y] = reference::mul(h == 0 ? Point<Unknown>(g()) : half, odd, params()).to_affine();
      EXPECT_EQ(e.y_plus_x, y + x);
      EXPECT_EQ(e.y_minus_x, y - x);
      EXPECT_EQ(e.xy2d, x * y * kEdwardsD2);
    }
  }
}

// The eight-lane multiplication against mul, coordinate for coordinate, on
// every kernel here: empty, one lane, a full block, and two blocks and a
// tail; then the emulated kernel under the checked policy, which asserts the
// lane arithmetic's bounds, on the edge scalars.
TEST(ScalarMultiplication, FixedBaseLanesMatchTheTableOnEveryKernel) {
  namespace fl = fixed_base_lanes;
  Rng rng(5);
  const FixedBaseTable& table = signing_table();
  const std::vector<Fs> k = reference::edge_scalars(rng, 13);
  std::vector<Point<PrimeOrder>> want;
  for (const Fs& x : k) want.push_back(table.mul(x));
  const auto same = [](const Point<PrimeOrder>& a, const Point<PrimeOrder>& b) {
    const detail::Extended &p = detail::PointAccess::coords(a), &q = detail::PointAccess::coords(b);
    return p.x == q.x && p.y == q.y && p.t == q.t && p.z == q.z;
  };
  for (cpu::LaneKernel kernel : {cpu::LaneKernel::scalar, cpu::LaneKernel::emulated, cpu::LaneKernel::ifma}) {
    if (!cpu::runs(kernel)) continue;
    for (size_t count : {size_t{0}, size_t{1}, size_t{8}, k.size()}) {
      std::vector<Point<PrimeOrder>> got(count, Point<PrimeOrder>::zero());
      table.mul_many(std::span(k).first(count), got, kernel);
      for (size_t i = 0; i < count; ++i) {
        EXPECT_TRUE(same(got[i], want[i])) << cpu::lane_kernel_name(kernel) << " " << count << " " << i;
      }
    }
  }
  fl::Block b{};
  for (size_t lane = 0; lane < fl::kLanes; ++lane) {
    const auto digits = signed_radix64(k[lane]);
    for (size_t row = 0; row < fl::kRows; ++row) {
      b.magnitude[row][lane] = static_cast<uint64_t>(digits[row] < 0 ? -digits[row] : digits[row]);
      b.negative[row][lane] = digits[row] < 0 ? ~uint64_t{0} : 0;
    }
  }
  field::lanes52::LaneBuilds<fl::FixedBase>::checked.run(table.lane_table(), b);
  for (size_t lane = 0; lane < fl::kLanes; ++lane) {
    const detail::Extended& p = detail::PointAccess::coords(want[lane]);
    const Fr* coords[fl::kOutputs] = {&p.x, &p.y, &p.t, &p.z};
    for (size_t c = 0; c < fl::kOutputs; ++c) {
      EXPECT_EQ(Fr::from_montgomery_limbs(field::lanes52::join52(&b.out[c][0][lane], fl::kLanes)), *coords[c])
          << lane << " " << c;
    }
  }
}

// The row-parallel forms (one scalar over eight lanes, two over four each)
// against mul on every kernel here, then the checked policy, on the edge
// scalars, two whose digits are all -32 or all 31 below the top one, and
// random ones; the pair also with its scalars swapped.
TEST(ScalarMultiplication, FixedBaseRowLanesMatchTheTable) {
  namespace fl = fixed_base_lanes;
  Rng rng(6);
  const FixedBaseTable& table = signing_table();
  std::vector<Fs> k = reference::edge_scalars(rng, 6);
  // 64^41 - 32·(64^41 - 1)/63 and 31·(64^42 - 1)/63.
  k.push_back(fs_of({0xf7df7df7df7df7e0ULL, 0xdf7df7df7df7df7dULL, 0x7df7df7df7df7df7ULL, 0x001f7df7df7df7dfULL}));
  k.push_back(fs_of({0xf7df7df7df7df7dfULL, 0xdf7df7df7df7df7dULL, 0x7df7df7df7df7df7ULL, 0x07df7df7df7df7dfULL}));
  const auto kernels = {cpu::LaneKernel::scalar, cpu::LaneKernel::emulated, cpu::LaneKernel::ifma};
  for (size_t i = 0; i < k.size(); ++i) {
    const Fs& a = k[i];
    const Fs& b = k[(i + 1) % k.size()];
    const Point<PrimeOrder> want_a = table.mul(a), want_b = table.mul(b);
    for (cpu::LaneKernel kernel : kernels) {
      if (!cpu::runs(kernel)) continue;
      EXPECT_TRUE(table.mul_lanes(a, kernel) == want_a) << cpu::lane_kernel_name(kernel) << " " << i;
      const std::array<Point<PrimeOrder>, 2> pair = table.mul_pair(a, b, kernel);
      EXPECT_TRUE(pair[0] == want_a && pair[1] == want_b) << cpu::lane_kernel_name(kernel) << " " << i;
    }
    for (size_t scalars = 1; scalars <= 2; ++scalars) {
      const size_t group = fl::kLanes / scalars;
      fl::RowBlock blk{};
      for (size_t half = 0; half < scalars; ++half) {
        const auto digits = signed_radix64(half == 0 ? a : b);
        for (size_t row = 0; row < fl::kRows; ++row) {
          blk.magnitude[row / group][half * group + row % group] =
              static_cast<uint64_t>(digits[row] < 0 ? -digits[row] : digits[row]);
          blk.negative[row / group][half * group + row % group] = digits[row] < 0 ? ~uint64_t{0} : 0;
        }
      }
      field::lanes52::LaneBuilds<fl::FixedBase>::checked.run_rows(table.lane_table(), blk, scalars);
      for (size_t half = 0; half < scalars; ++half) {
        detail::Extended p;
        Fr* coords[fl::kOutputs] = {&p.x, &p.y, &p.t, &p.z};
        for (size_t c = 0; c < fl::kOutputs; ++c) {
          *coords[c] = Fr::from_montgomery_limbs(field::lanes52::join52(&blk.out[c][0][half * group], fl::kLanes));
        }
        EXPECT_TRUE(detail::PointAccess::make<PrimeOrder>(p) == (half == 0 ? want_a : want_b)) << i << " " << half;
      }
    }
  }
}

TEST(ScalarMultiplication, ConstantTimeAndNafMatchDoubleAndAdd) {
  Rng rng(4);
  const Point<Unknown> t8 = reference::order_eight_point(rng, params());
  // Bases of every kind: prime order, small order, mixed.
  std::vector<Point<Unknown>> bases = {Point<Unknown>::zero(), t8, params().generator(0), rng.point(params())};
  for (int i = 0; i < 4; ++i) bases.push_back(rng.point(params()));
  for (const Point<Unknown>& p : bases) {
    for (const Fs& k : reference::edge_scalars(rng, 6)) {
      const Point<Unknown> expected = reference::mul(p, k.into_repr(), params());
      EXPECT_TRUE(p.mul(k, params()) == expected);
      EXPECT_TRUE(p.mul_vartime(k, params()) == expected);
    }
    // Raw 256-bit scalars, s and values above it included.
    for (const FsRepr& k : {fs_char(), FsRepr{~0ULL, ~0ULL, ~0ULL, ~0ULL}, rng.repr(), rng.repr()}) {
      EXPECT_TRUE(p.mul_vartime(k, params()) == reference::mul(p, k, params()));
    }
  }
}

TEST(SubgroupCheck, AgreesWithMultiplicationByS) {
  Rng rng(5);
  const Point<Unknown> t8 = reference::order_eight_point(rng, params());
  std::vector<Point<Unknown>> prime_order = {Point<Unknown>::zero(), g()};
  for (int i = 0; i < 3; ++i) prime_order.push_back(rng.point(params()).clear_cofactor());
  // Each prime-order point shifted by each of the eight torsion points.
  for (const Point<Unknown>& q : prime_order) {
    Point<Unknown> torsion = Point<Unknown>::zero();
    for (int i = 0; i < 8; ++i) {
      const Point<Unknown> p = q.add(torsion, params());
      EXPECT_EQ(p.is_in_prime_order_subgroup_vartime(params()), reference::in_subgroup(p, params())) << i;
      EXPECT_EQ(p.is_in_prime_order_subgroup_vartime(params()), i == 0) << i;
      torsion = torsion.add(t8, params());
    }
  }
  for (int i = 0; i < 8; ++i) {
    const Point<Unknown> p = rng.point(params());
    EXPECT_EQ(p.is_in_prime_order_subgroup_vartime(params()), reference::in_subgroup(p, params()));
  }
}

TEST(PointEncoding, DecodingMatchesInversionAndTonelliShanks) {
  Rng rng(7);
  int decoded = 0;
  for (int i = 0; i < 400; ++i) {
    std::array<uint8_t, 32> bytes = rng.bytes();
    if (i % 2 == 0) bytes[31] &= 0x3f;  // keep y below r half of the time
    const auto fast = Point<Unknown>::read(bytes, params());
    const auto slow = reference::read(bytes, params());
    ASSERT_EQ(fast.has_value(), slow.has_value());
    if (!fast) continue;
    ++decoded;
    EXPECT_TRUE(*fast == *slow);
    EXPECT_EQ(fast->encode(), fast->encode_vartime());
    // Encoding a decoded point gives its input back (y < r, and the sign bit
    // kept unless x is zero).
    EXPECT_EQ(fast->encode_vartime(), bytes);
  }
  EXPECT_GT(decoded, 50);
}

// Two or many decodings at once give what each alone gives, whichever of
// them fails and how: short input, y not below r, no x, or the encodings
// with x = 0 (u = 0) and either sign bit.
TEST(PointEncoding, PairAndBatchDecodingMatchSingle) {
  Rng rng(15);
  std::vector<std::array<uint8_t, 32>> inputs;
  std::array<uint8_t, 32> one{};
  one[0] = 1;
  inputs.push_back(one);
  one[31] = 0x80;
  inputs.push_back(one);
  inputs.push_back(field::repr_to_bytes_le(Fr::kModulus));  // y = r
  std::array<uint8_t, 32> minus_one = field::repr_to_bytes_le(field::detail::sub_word(Fr::kModulus, 1));
  inputs.push_back(minus_one);
  minus_one[31] |= 0x80;
  inputs.push_back(minus_one);
  for (int i = 0; i < 60; ++i) {
    std::array<uint8_t, 32> bytes = rng.bytes();
    if (i % 4 != 0) bytes[31] &= 0xbf;  // y below r mostly, either sign
    inputs.push_back(bytes);
  }
  const std::array<uint8_t, 31> short_input{};
  const auto same = [](const Expected<Point<Unknown>, ReadError>& a, const Expected<Point<Unknown>, ReadError>& b) {
    if (a.has_value() != b.has_value()) return false;
    if (!a) return a.error().debug() == b.error().debug();
    return *a == *b && a->encode_vartime() == b->encode_vartime();
  };
  int both_decoded = 0;
  for (size_t i = 0; i < inputs.size(); ++i) {
    const std::array<uint8_t, 32>& b = inputs[(i * 7 + 3) % inputs.size()];
    const auto pair = Point<Unknown>::read_pair(inputs[i], b, params());
    EXPECT_TRUE(same(pair[0], Point<Unknown>::read(inputs[i], params()))) << i;
    EXPECT_TRUE(same(pair[1], Point<Unknown>::read(b, params()))) << i;
    both_decoded += pair[0] && pair[1] ? 1 : 0;
    // read_with_x: read's point for x or -x; nothing for another x, or
    // wherever read fails.
    const auto single = Point<Unknown>::read(inputs[i], params());
    const Fr x = single ? single->to_affine_vartime().first : rng.fr();
    const std::pair<Fr, bool> guesses[] = {{x, true}, {-x, true}, {x + Fr::one(), false}, {rng.fr(), false}};
    for (const auto& [guess, fits] : guesses) {
      const auto hinted = Point<Unknown>::read_with_x(inputs[i], guess, params());
      ASSERT_EQ(hinted.has_value(), single && fits) << i;
      if (hinted) {
        EXPECT_EQ(hinted->encode_vartime(), single->encode_vartime()) << i;
      }
    }
    EXPECT_FALSE(Point<Unknown>::read_with_x(short_input, Fr::zero(), params()));
    const auto with_short = Point<Unknown>::read_pair(short_input, inputs[i], params());
    EXPECT_EQ(with_short[0].error().debug(), Point<Unknown>::read(short_input, params()).error().debug());
    EXPECT_TRUE(same(with_short[1], Point<Unknown>::read(inputs[i], params()))) << i;
  }
  EXPECT_GT(both_decoded, 5);
  for (size_t len : {inputs.size(), size_t{21}, size_t{2}}) {
    const auto many = Point<Unknown>::read_many(std::span(inputs).first(len), params());
    ASSERT_EQ(many.size(), len);
    for (size_t i = 0; i < len; ++i) EXPECT_TRUE(same(many[i], Point<Unknown>::read(inputs[i], params()))) << len << " " << i;
  }
}

TEST(PointEncoding, NormalisingKeepsThePoints) {
  Rng rng(8);
  std::vector<Point<Unknown>> points;
  for (int i = 0; i < 5; ++i) points.push_back(rng.point(params()).mul_vartime(rng.scalar(), params()));
  const std::vector<Point<Unknown>> before = points;
  Point<Unknown>::normalize_batch(points);
  for (size_t i = 0; i < points.size(); ++i) {
    EXPECT_TRUE(points[i] == before[i]);
    EXPECT_EQ(points[i].to_affine(), before[i].to_affine());
    EXPECT_EQ(points[i].to_affine_vartime(), before[i].to_affine());
    EXPECT_EQ(before[i].to_affine_vartime(), before[i].to_affine());
  }
}

TEST(EdDsa, SigningMatchesTheStepByStepScheme) {
  Rng rng(10);
  for (const Fs& k : reference::edge_scalars(rng, 12)) {
    const std::array<uint8_t, 32> msg = rng.bytes();
    const PrivateKey sk(k);
    const Nonce nonce = deterministic_nonce(sk, msg);
    const RawSignature expected = reference::sign(k, msg, nonce.value(), params());
    const RawSignature sig = sk.sign_raw_message(msg, nonce);
    EXPECT_TRUE(sig.r == expected.r);
    EXPECT_EQ(sig.s, expected.s);

    const CheckedSignature checked = sk.sign_and_check(msg, nonce, PrivateKey::SignerKey::derive);
    EXPECT_TRUE(checked.verifies);
    EXPECT_TRUE(checked.signature.r == expected.r);
    EXPECT_EQ(checked.signature.s, expected.s);
    ASSERT_TRUE(checked.public_key.has_value());
    EXPECT_TRUE(checked.public_key->point == reference::mul(g(), k.into_repr(), params()));
    EXPECT_TRUE(PublicKey::derive(sk).point == checked.public_key->point);
    // The self-check agrees with a verifier's, and leaving the key out
    // changes nothing else.
    EXPECT_TRUE(checked.public_key->verify_for_raw_message(msg, checked.signature));
    const CheckedSignature without_key = sk.sign_and_check(msg, nonce);
    EXPECT_FALSE(without_key.public_key.has_value());
    EXPECT_TRUE(without_key.verifies);
    EXPECT_TRUE(without_key.signature.r == expected.r);
    EXPECT_EQ(without_key.signature.s, expected.s);
  }
}

// Challenges whose ratio split is degenerate: zero, one, -1, and inverses of
// small numbers (the shortest vector then has an even v and is passed over).
std::vector<Fs> awkward_challenges() {
  Fs minus_one = Fs::zero();
  minus_one.sub_assign(Fs::one());
  return {Fs::zero(), Fs::one(), minus_one, *fs_of({2, 0, 0, 0}).invert(), *fs_of({3, 0, 0, 0}).invert(),
          *fs_of({4, 0, 0, 0}).invert(), -*fs_of({6, 0, 0, 0}).invert(), fs_of({0, 0, 1, 0})};
}

TEST(RatioSplit, ShortOddAndExact) {
  Rng rng(12);
  std::vector<Fs> challenges = awkward_challenges();
  const size_t awkward = challenges.size();
  for (int i = 0; i < 300; ++i) challenges.push_back(rng.scalar());
  for (size_t i = 0; i < challenges.size(); ++i) {
    const Fs& c = challenges[i];
    const RatioSplit split = split_ratio_vartime(c);
    EXPECT_EQ(split.v[0] & 1, 1u);
    EXPECT_TRUE(field::detail::less_than_vartime(split.u, fs_char()));
    EXPECT_TRUE(field::detail::less_than_vartime(split.v, fs_char()));
    Fs v = fs_of(split.v);
    if (split.v_negative) v.negate();
    EXPECT_EQ(fs_of(split.u), v * c);
    if (i >= awkward) {
      // Random challenges split into halves of about 126 bits: below 2^136
      // (a pair of large quotients in the middle of the remainder sequence
      // can cost a few bits).
      EXPECT_EQ(split.u[2] >> 8 | split.u[3], 0u);
      EXPECT_EQ(split.v[2] >> 8 | split.v[3], 0u);
    }
  }
}

// The same split as plain long division gives, also where quotients are
// huge (small challenges and their inverses, powers of two) and so leave
// the estimated quotients for the long way.
TEST(RatioSplit, MatchesLongDivision) {
  Rng rng(14);
  std::vector<Fs> challenges = awkward_challenges();
  for (uint64_t k : {5ULL, 7ULL, 1ULL << 40, 0xffffffffffffffffULL}) {
    challenges.push_back(fs_of({k, 0, 0, 0}));
    challenges.push_back(*fs_of({k, 0, 0, 0}).invert());
  }
  for (unsigned bit : {63u, 64u, 125u, 126u, 127u, 128u, 190u, 250u}) {
    FsRepr p{};
    p[bit / 64] = uint64_t{1} << (bit % 64);
    challenges.push_back(fs_of(p));
    challenges.push_back(-fs_of(p));
  }
  for (int i = 0; i < 300; ++i) challenges.push_back(rng.scalar());
  for (const Fs& c : challenges) {
    const RatioSplit fast = split_ratio_vartime(c);
    const RatioSplit slow = reference::split_ratio(c);
    EXPECT_EQ(fast.u, slow.u);
    EXPECT_EQ(fast.v, slow.v);
    EXPECT_EQ(fast.v_negative, slow.v_negative);
  }
}

// The verdict under a checked key: the key met first (its check run beside
// the equation, and the key it checked), checked on its own, then with its
// quarter tables R recomputed and compared with R's encoding (equal exactly
// when the signature verifies, R being canonically encoded here).
void expect_checked_key_agrees(const Point<Unknown>& key, std::span<const uint8_t> msg, const RawSignature& sig,
                               bool expected) {
  const Point<Unknown> decoded = *Point<Unknown>::read(key.encode_vartime(), params());
  const NewKeyVerdict first = verify_new_key_vartime(decoded, msg, sig);
  EXPECT_EQ(first.verifies, expected);
  const CheckedKey checked = check_key_vartime(decoded);
  EXPECT_EQ(checked.in_subgroup, decoded.is_in_prime_order_subgroup_vartime(params()));
  EXPECT_TRUE(same_checked_key(first.key, checked));
  EXPECT_EQ(verify_checked_key(checked, msg, sig), expected);
  EXPECT_FALSE(recomputed_r_matches_vartime(checked, msg, sig.s, sig.r.encode_vartime()));
  const CheckedKey quarters = with_quarters_vartime(checked);
  EXPECT_TRUE(quarters.has_quarters);
  EXPECT_EQ(recomputed_r_matches_vartime(quarters, msg, sig.s, sig.r.encode_vartime()), expected);
  EXPECT_EQ(verify_checked_key(quarters, msg, sig), expected);
}

TEST(EdDsa, VerificationAtAwkwardChallenges) {
  Rng rng(13);
  const Point<Unknown> t8 = reference::order_eight_point(rng, params());
  for (const Fs& c : awkward_challenges()) {
    const std::array<uint8_t, 32> msg = field::repr_to_bytes_le(c.into_repr());
    const PrivateKey sk(rng.scalar());
    const Nonce nonce = deterministic_nonce(sk, msg);
    const CheckedSignature checked = sk.sign_and_check(msg, nonce, PrivateKey::SignerKey::derive);
    EXPECT_TRUE(checked.verifies);
    const Point<Unknown> a = checked.public_key->point;
    const RawSignature& sig = checked.signature;
    for (const auto& [key, s] : std::vector<std::pair<Point<Unknown>, RawSignature>>{
             {a, sig},
             {a, RawSignature{sig.r.add(t8, params()), sig.s}},
             {a, RawSignature{sig.r.add(t8.double_(), params()), sig.s}},
             {a.add(t8, params()), sig},
             {a, RawSignature{sig.r, sig.s + Fs::one()}}}) {
      const bool expected = reference::verify(key, msg, s, params());
      EXPECT_EQ(PublicKey{key}.verify_for_raw_message(msg, s), expected)
          << field::repr_to_hex(c.into_repr());
      expect_checked_key_agrees(key, msg, s, expected);
    }
  }
}

TEST(EdDsa, VerificationMatchesTheStepByStepChecks) {
  Rng rng(11);
  const Point<Unknown> t8 = reference::order_eight_point(rng, params());
  const Point<Unknown> t2 = t8.double_().double_();
  int accepted = 0;
  for (int i = 0; i < 6; ++i) {
    const Fs k = rng.scalar();
    std::array<uint8_t, 32> msg = rng.bytes();
    if (i == 0) msg.fill(0);  // c = 0: c·(A + T) vanishes, only the subgroup check of A refuses
    const PrivateKey sk(k);
    const RawSignature sig = sk.sign_raw_message(msg, deterministic_nonce(sk, msg));
    const Point<Unknown> a = PublicKey::derive(sk).point;
    // A shifted by T8 and R by -c·T8: the equation still holds, only the
    // subgroup check of A refuses.
    const Point<Unknown> minus_c_t8 =
        reference::mul(t8, reference::challenge(msg).into_repr(), params()).negate();

    std::vector<std::pair<Point<Unknown>, RawSignature>> cases = {
        {a, sig},
        {a.add(t8, params()), sig},
        {a.add(t2, params()), sig},
        {a, RawSignature{sig.r.add(t8, params()), sig.s}},
        {a, RawSignature{sig.r.add(t2, params()), sig.s}},
        {a.add(t2, params()), RawSignature{sig.r.add(t2, params()), sig.s}},
        {a.add(t8, params()), RawSignature{sig.r.add(minus_c_t8, params()), sig.s}},
        {a, RawSignature{sig.r, rng.scalar()}},
        {a, RawSignature{sig.r.negate(), sig.s}},
        {rng.point(params()), sig},
        {Point<Unknown>::zero(), RawSignature{Point<Unknown>::zero(), Fs::zero()}},
    };
    for (size_t j = 0; j < cases.size(); ++j) {
      const auto& [key, s] = cases[j];
      const bool expected = reference::verify(key, msg, s, params());
      EXPECT_EQ(PublicKey{key}.verify_for_raw_message(msg, s), expected)
          << i << " " << j;
      expect_checked_key_agrees(key, msg, s, expected);
      accepted += expected;
    }
    // A different message.
    std::array<uint8_t, 32> other = msg;
    other[3] ^= 0x10;
    EXPECT_EQ(PublicKey{a}.verify_for_raw_message(other, sig),
              reference::verify(a, other, sig, params()));
  }
  // Only the genuine signatures and the zero key with the zero signature.
  EXPECT_EQ(accepted, 12);
}

}  // namespace
}  // namespace quillet::jubjub
