// Batch signing as scheduled, on one thread, on real threads and cut as for
// two, against signing each message alone: every lane kernel that runs,
// counts around the lane groups, and the self-check's fallback.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "crypto/jubjub/tests/test_support.hpp"
#include "crypto/spread/tests/test_support.hpp"
#include "sdk/src/batch/sign_schedule.hpp"

namespace quillet::sdk {
namespace {

using jubjub::CheckedSignature;
using jubjub::Fs;
using jubjub::Message;
using jubjub::PrivateKey;
using jubjub::RawSignature;
using jubjub::testing::batch_messages;
using jubjub::testing::field_from_hex;
using jubjub::testing::to_hex;

constexpr const char* kKey = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

// The calling thread alone, stages cut as for two threads: an odd pass out
// of the self-check's windows is cut in halves.
class CutForTwo final : public Spread {
 public:
  unsigned width() const noexcept override { return 2; }
};

TEST(SignSchedule, SigningTogetherGivesEachSignatureAndVerdictOfSigningAlone) {
  const Fs keys[] = {Fs::one(), -Fs::one(), field_from_hex<Fs>(kKey)};
  // Three threads cut 40 items into ranges across lane groups.
  const quillet::testing::ThreadsFromTheEnd threads(3);
  const CutForTwo cut_for_two;
  const Spread* spreads[] = {&serial_spread(), &threads, &cut_for_two};
  for (cpu::LaneKernel kernel : {cpu::LaneKernel::scalar, cpu::LaneKernel::emulated, cpu::LaneKernel::ifma}) {
    if (!cpu::runs(kernel)) continue;
    for (const Fs& key : keys) {
      for (size_t n : {0, 1, 2, 9, 40}) {
        for (const Spread* spread : spreads) {
          const PrivateKey sk(key);
          const std::vector<Message> msgs = batch_messages(n);
          const std::vector<CheckedSignature> together = sign_and_check_many(sk, msgs, kernel, *spread);
          ASSERT_EQ(together.size(), n);
          for (size_t i = 0; i < n; ++i) {
            const CheckedSignature alone = sk.sign_and_check(msgs[i], deterministic_nonce(sk, msgs[i]));
            EXPECT_EQ(to_hex(together[i].signature.r.encode()), to_hex(alone.signature.r.encode()))
                << cpu::lane_kernel_name(kernel) << " " << n << " " << i << " width " << spread->width();
            EXPECT_EQ(together[i].signature.s, alone.signature.s);
            EXPECT_TRUE(together[i].verifies);
            EXPECT_FALSE(together[i].public_key.has_value());
          }
        }
      }
    }
  }
}

TEST(SignSchedule, CombinedSelfCheckFindsExactlyTheWrongSignatures) {
  const PrivateKey sk(field_from_hex<Fs>(kKey));
  const std::vector<Message> msgs = batch_messages(6);
  std::vector<RawSignature> good;
  for (const CheckedSignature& c : sign_and_check_many(sk, msgs)) good.push_back(c.signature);
  // Each case spoils the listed items: S off by one, or another item's R.
  const std::vector<std::vector<size_t>> cases = {{}, {0}, {5}, {1, 4}, {0, 1, 2, 3, 4, 5}};
  const quillet::testing::ThreadsFromTheEnd threads(2);
  const CutForTwo cut_for_two;
  const Spread* spreads[] = {&serial_spread(), &threads, &cut_for_two};
  for (const auto& spoiled : cases) {
    for (bool spoil_r : {false, true}) {
      std::vector<RawSignature> sigs = good;
      for (size_t i : spoiled) {
        if (spoil_r) {
          sigs[i].r = good[(i + 1) % good.size()].r;
        } else {
          sigs[i].s.add_assign(Fs::one());
        }
      }
      for (const Spread* spread : spreads) {
        const std::vector<bool> verdicts = check_own_signatures(sk, msgs, sigs, *spread);
        for (size_t i = 0; i < msgs.size(); ++i) {
          const bool wrong = std::find(spoiled.begin(), spoiled.end(), i) != spoiled.end();
          EXPECT_EQ(verdicts[i], !wrong) << "item " << i << (spoil_r ? " R" : " S") << " width " << spread->width();
        }
      }
    }
  }
}

}  // namespace
}  // namespace quillet::sdk
