// Batch verification's steps, composed plainly (every point checked alone,
// every step on one thread, in order), against verifying each signature;
// a combination's terms against the sum they stand for; the shared subgroup
// queries against each point's own check.
#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "crypto/jubjub/batch_verify.hpp"
#include "crypto/jubjub/tests/batch_cases.hpp"
#include "crypto/jubjub/tests/reference.hpp"
#include "crypto/jubjub/tests/test_support.hpp"

namespace quillet::jubjub {
namespace {

using batch::Extended;
using reference::Rng;
using testing::BatchCase;

const AltJubjubBn256& params() { return jubjub_params(); }

Point<Unknown> as_point(const Extended& p) { return detail::PointAccess::make<Unknown>(p); }

// A plan's multiplication of `terms` terms, made whole, its pieces in order.
Extended run_plan(batch::MsmPlanVartime plan, size_t terms) {
  plan.make(0, terms);
  std::vector<Extended> sums(plan.pieces());
  for (size_t i = 0; i < sums.size(); ++i) sums[i] = plan.piece(i);
  return plan.combine(sums);
}

class PlainCombinations final : public batch::Combinations {
 public:
  explicit PlainCombinations(const batch::Run& run) : run_(run) {}
  Extended combination(std::span<const size_t> members, bool indexed) const override {
    batch::Combination terms(run_, members, indexed);
    if (terms.copies()) terms.fill(0, members.size());
    terms.sum_keys();
    return batch::Combination::total(run_plan(terms.key_plan(nullptr), terms.key_terms()),
                                     run_plan(terms.r_plan(nullptr), terms.r_terms()), terms.g_term());
  }

 private:
  const batch::Run& run_;
};

// What a run of the candidates `index` of `b` reads: weights from `rng`,
// the first of all ones (the widest) when asked.
struct RunData {
  RunData(const testing::Batch& b, std::span<const size_t> index, Rng& rng, bool widest_first = false)
      : sigs(b.sigs), index(index), neg_keys(batch::negated_affine_keys(b.keys)), zs(index.size()), zc(index.size()) {
    const std::vector<Extended> all_r = batch::negated_affine_r(b.sigs);
    for (size_t m = 0; m < index.size(); ++m) {
      neg_r.push_back(all_r[index[m]]);
      weights.push_back(m == 0 && widest_first ? FsRepr{~0ULL, ~0ULL, 0, 0} : FsRepr{rng.word(), rng.word(), 0, 0});
      batch::weigh(b.sigs[index[m]], weights[m], zs[m], zc[m]);
    }
  }
  batch::Run run() const { return {neg_keys, sigs, index, weights, neg_r, zs, zc}; }

  std::span<const BatchSignature> sigs;
  std::span<const size_t> index;
  std::vector<Extended> neg_keys, neg_r;
  std::vector<FsRepr> weights;
  std::vector<Fs> zs, zc;
};

// The steps in order, with fixed weights: what any schedule must answer.
std::vector<bool> plain_batch(const testing::Batch& b, Rng& rng) {
  const batch::SubgroupPoints checked = batch::subgroup_points(b.keys, b.sigs);
  std::vector<uint8_t> in_subgroup;
  for (const Extended* p : checked.points) in_subgroup.push_back(detail::in_prime_order_subgroup_vartime(*p) ? 1 : 0);
  const std::vector<size_t> index = batch::candidates(b.sigs, checked, in_subgroup);
  const RunData data(b, index, rng);
  const batch::Run run = data.run();
  const PlainCombinations combinations(run);
  std::vector<size_t> members(index.size());
  for (size_t m = 0; m < members.size(); ++m) members[m] = m;
  std::vector<bool> out(b.sigs.size(), false);
  if (!members.empty()) {
    batch::resolve_vartime(combinations, members, combinations.combination(members, false), index, out);
  }
  return out;
}

void expect_plain_batch_matches(const std::vector<BatchCase>& picked, Rng& rng) {
  const std::vector<bool> got = plain_batch(testing::batch_of(picked), rng);
  const std::vector<bool> want = testing::verified_alone(picked);
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) EXPECT_EQ(got[i], want[i]) << "item " << i << ": " << picked[i].what;
}

TEST(BatchSteps, PlainlyComposedTheyAgreeWithSingleVerification) {
  Rng rng(1919);
  const std::vector<BatchCase> all = testing::batch_cases(rng);
  const std::vector<BatchCase> valid = testing::cases_named(all, "valid");
  expect_plain_batch_matches({}, rng);
  expect_plain_batch_matches(all, rng);
  // Each case alone, and among valid ones at either end and inside a run
  // long enough for the lone-failure search; two at once are halved.
  for (const BatchCase& c : all) {
    expect_plain_batch_matches({c}, rng);
    std::vector<BatchCase> mixed;
    for (size_t i = 0; i < 21; ++i) mixed.push_back(valid[i % valid.size()]);
    for (size_t at : {size_t{0}, size_t{5}, size_t{20}}) {
      std::vector<BatchCase> one = mixed;
      one[at] = c;
      expect_plain_batch_matches(one, rng);
    }
    mixed[3] = c;
    mixed[17] = all[2];  // wrong S
    expect_plain_batch_matches(mixed, rng);
  }
  // Signatures whose R carry the same point of small order: with even
  // weights or in pairs their torsion would cancel in the sum.
  for (const char* what : {"R plus order 2", "R plus order 8"}) {
    const std::vector<BatchCase> same = testing::cases_named(all, what);
    for (size_t n : {2u, 4u, 8u}) {
      std::vector<BatchCase> picked;
      for (size_t i = 0; i < n; ++i) picked.push_back(same[i % same.size()]);
      expect_plain_batch_matches(picked, rng);
    }
  }
}

// The sum a combination stands for, by double-and-add: over members at
// positions p, w·(S·G - R - c·A) with w = z, or (p + 1)·z when indexed.
Point<Unknown> combination_by_definition(const testing::Batch& b, const batch::Run& run,
                                         std::span<const size_t> members, bool indexed) {
  const Point<Unknown> g = params().generator(kSigningBase);
  Point<Unknown> sum = Point<Unknown>::zero();
  for (size_t p = 0; p < members.size(); ++p) {
    const size_t m = members[p];
    const BatchSignature& sig = b.sigs[run.index[m]];
    Fs w = Fs::from_raw(run.weights[m]);
    if (indexed) w.mul_assign(Fs::from_u128(p + 1, 0));
    const Fs c = to_uniform_32(sig.msg);
    const Point<Unknown> s_g = reference::mul(g, (w * sig.signature.s).into_repr(), params());
    const Point<Unknown> r = reference::mul(sig.signature.r, w.into_repr(), params());
    const Point<Unknown> c_a = reference::mul(b.keys[sig.key].point, (w * c).into_repr(), params());
    sum = sum.add(s_g.add(r.negate(), params()).add(c_a.negate(), params()), params());
  }
  return sum;
}

TEST(BatchSteps, ACombinationsTermsAddUpToItsDefinition) {
  // Valid and wrong signatures under three keys, in a run of 12 that is not
  // the batch's order; members consecutive (read in place) or not (copied),
  // with positions or without, filled in one range or three.
  Rng rng(40);
  const std::vector<BatchCase> all = testing::batch_cases(rng);
  std::vector<BatchCase> picked;
  for (size_t i = 0; picked.size() < 14; ++i) {
    const std::string_view what = all[i % all.size()].what;
    if (what == "valid" || what == "wrong S" || what == "other message") picked.push_back(all[i % all.size()]);
  }
  const testing::Batch b = testing::batch_of(picked);
  std::vector<size_t> index;
  for (size_t i = 13; i > 1; --i) index.push_back(i);
  const RunData data(b, index, rng, true);
  const batch::Run run = data.run();
  const std::vector<size_t> whole = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
  const std::vector<size_t> scattered = {11, 0, 7, 3, 3};
  for (const std::vector<size_t>* members : {&whole, &scattered}) {
    for (const std::span<const size_t> m : {std::span<const size_t>(*members), std::span(*members).subspan(2, 3)}) {
      for (const bool indexed : {false, true}) {
        for (const size_t fills : {size_t{1}, size_t{3}}) {
          batch::Combination terms(run, m, indexed);
          EXPECT_EQ(terms.copies(), indexed || members == &scattered);
          if (terms.copies()) {
            for (size_t k = fills; k-- > 0;) terms.fill(k * m.size() / fills, (k + 1) * m.size() / fills);
          }
          terms.sum_keys();
          const Extended got =
              batch::Combination::total(run_plan(terms.key_plan(nullptr), terms.key_terms()),
                                        run_plan(terms.r_plan(nullptr), terms.r_terms()), terms.g_term());
          EXPECT_TRUE(as_point(got) == combination_by_definition(b, run, m, indexed))
              << m.size() << " members, indexed " << indexed << ", fills " << fills;
        }
      }
    }
  }
}

TEST(BatchSteps, AKeyIndexOutOfRangeFailsHard) {
  Rng rng(3);
  testing::Batch b = testing::batch_of({testing::batch_cases(rng)[0]});
  b.sigs[0].key = 1;
  EXPECT_EQ(testing::hard_failure_text([&] { batch::subgroup_points(b.keys, b.sigs); }),
            "assertion failed: batch key index in range");
}

// The queries' steps over `f`, its blocks cut into `ranges` parts and the
// queries into pieces at `cuts`: whether every query passes.
bool shared_queries_pass(std::span<const Fr> f, std::span<const uint8_t> subsets, size_t ranges,
                         std::span<const size_t> cuts) {
  const size_t blocks = batch::value_blocks(f.size());
  std::vector<batch::QueryProducts> partial;
  for (size_t k = 0; k < ranges; ++k) {
    partial.push_back(batch::query_products_vartime(f, subsets, k * blocks / ranges, (k + 1) * blocks / ranges));
  }
  bool pass = true;
  for (size_t k = 0; k + 1 < cuts.size(); ++k) {
    pass = batch::queries_pass_vartime(partial, cuts[k], cuts[k + 1]) && pass;
  }
  return pass;
}

TEST(SubgroupQueries, SharedQueriesAgreeWithEachPointsCheck) {
  // 201 points (a last block of one value), all in the subgroup, then one
  // replaced by a point outside it (plus order 2 or 8, or of order 8): the
  // queries pass exactly when each value's own power is one, however the
  // blocks and queries are cut.
  Rng rng(104);
  const Point<Unknown> t8 = reference::order_eight_point(rng, params());
  std::vector<Point<Unknown>> inside;
  for (size_t i = 0; i < 201; ++i) {
    inside.push_back(reference::mul(params().generator(kSigningBase), rng.repr(), params()));
  }
  std::vector<uint8_t> subsets(batch::subset_bytes(inside.size()));
  for (uint8_t& byte : subsets) byte = static_cast<uint8_t>(rng.word());
  const std::vector<size_t> whole = {0, batch::kSubgroupQueries};
  const std::vector<size_t> cut = {0, 56, 96, batch::kSubgroupQueries};
  for (const Point<Unknown>* outside : {static_cast<const Point<Unknown>*>(nullptr), &t8}) {
    for (const size_t at : {size_t{0}, size_t{117}, size_t{200}}) {
      std::vector<Point<Unknown>> points = inside;
      if (outside != nullptr) points[at] = points[at].add(at == 117 ? t8.double_().double_() : *outside, params());
      std::vector<Fr> f;
      bool each = true;
      for (const Point<Unknown>& p : points) {
        f.push_back(batch::pairing_value_vartime(detail::PointAccess::coords(p)));
        each = each && !f.back().is_zero() && batch::pairings_are_one_vartime(std::span(f).last(1))[0];
      }
      EXPECT_EQ(each, outside == nullptr);
      for (const size_t ranges : {size_t{1}, size_t{2}, size_t{3}}) {
        EXPECT_EQ(shared_queries_pass(f, subsets, ranges, whole), each) << ranges << " ranges, outside at " << at;
        EXPECT_EQ(shared_queries_pass(f, subsets, ranges, cut), each) << ranges << " ranges, outside at " << at;
      }
      if (outside == nullptr) break;
    }
  }
  // Subsets too short for the values fail hard rather than read past them.
  std::vector<Fr> more(inside.size() + 8, Fr::one());
  EXPECT_EQ(testing::hard_failure_text([&] {
              batch::query_products_vartime(more, subsets, 0, batch::value_blocks(more.size()));
            }),
            "assertion failed: query subsets cover the values");
}

}  // namespace
}  // namespace quillet::jubjub
