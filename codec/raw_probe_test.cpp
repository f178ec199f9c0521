// Choosing among T.6 trials: scores of undamaged data, and the work the
// choice takes.

#include "codec/raw_probe.h"

#include <gtest/gtest.h>

#include "codec/codec_test_util.h"

namespace tarnwick::testing {
namespace {

// One page of short random runs, more than the scoring window long, with no
// damage and no page end inside the window.
std::vector<uint8_t> longPage() {
  return encodeCcitt(makeRandomRuns(1728, 5000, 41, 30), Ccitt::kT6);
}

TEST(MmrTrials, RunOpenAtTheWindowEndCounts) {
  const std::vector<uint8_t> coded = longPage();
  ASSERT_GT(coded.size(), size_t(kMmrScoreBytes));
  FaxStream s;
  s.initT6(coded.data(), int32_t(coded.size()), kMsbFirst, 0, 0, 0);
  const int64_t bits = explainedMmrBits(s, kMsbFirst, 1728, 50, 0);
  EXPECT_GT(bits, int64_t(kMmrScoreBytes) * 8 * 9 / 10);
  EXPECT_LE(bits, int64_t(kMmrScoreBytes) * 8);
}

// The right trial is scored first, so the others stop once they cannot
// beat it instead of each decoding half the window.
TEST(MmrTrials, ChoiceStopsTheOtherTrialsEarly) {
  const std::vector<uint8_t> coded = longPage();
  FaxStream s;
  s.initT6(coded.data(), int32_t(coded.size()), kMsbFirst, 0, 0, 0);
  std::vector<MmrTrial> trials;
  for (uint8_t order : {kLsbFirst, kMsbFirst})
    for (int32_t width : kMmrTrialWidths) trials.push_back({width, order});
  MmrChoice choice;
  ProbeWork work;
  ASSERT_EQ(0, chooseMmrTrial(s, trials, 50, 0, choice, &work));
  EXPECT_EQ(1728, choice.width);
  EXPECT_EQ(kMsbFirst, choice.bitOrder);
  EXPECT_LT(work.lines, 1000000);
}

}  // namespace
}  // namespace tarnwick::testing
