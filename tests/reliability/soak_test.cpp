// A few short seeded soak loads, one per fault class, so that `make test` sees the soak's
// judgement work; `make soak` runs a hundred real-sized ones.
#include "tests/reliability/soak.h"

#include <gtest/gtest.h>

namespace vestrel::soak {
namespace {

constexpr std::uint32_t kSmallFlash = 32 * 1024;

SoakResult RunSmallCase(SoakCase c) {
  c.flashSize = kSmallFlash;
  return RunCase(c, {VESTREL_CLI, VESTREL_SIM_BINARY});
}

SoakResult RunSmall(std::uint64_t seed, FaultClass faultClass) {
  return RunSmallCase(MakeCase(seed, faultClass));
}

TEST(ShortSoak, CleanLineLoads) {
  const SoakResult r = RunSmall(3, FaultClass::Clean);
  EXPECT_EQ(r.verdict, Verdict::Loaded) << r.detail;
}

TEST(ShortSoak, AbsorbableFaultsLoadOrFailOnlyWhereNothingIsRetried) {
  for (std::uint64_t seed : {5u, 6u}) {
    const SoakResult r = RunSmall(seed, FaultClass::Absorbable);
    EXPECT_FALSE(IsFault(r.verdict)) << seed << ": " << VerdictName(r.verdict) << " " << r.detail;
  }
}

TEST(ShortSoak, ReadBackThatNeverMatchesFailsTheProgramStep) {
  SoakCase c = MakeCase(7, FaultClass::Beyond);
  c.simArgs = {"--seed", "7", "--fail-readback-times", "1000000"};
  c.acceptable = {"Send Program Error Addr"};
  const SoakResult r = RunSmallCase(c);
  EXPECT_EQ(r.verdict, Verdict::FailedRightly) << r.detail;
  EXPECT_EQ(r.exitCode, 1);
  // The box names the address that follows the first page, which never reads back right.
  EXPECT_EQ(r.firstMessage, "Send Program Error Addr: 0x9D001000");
}

// The refused finish of the dead class (its line that stops taking bytes is CliLoad's).
TEST(ShortSoak, RefusedFinishFailsSayingSo) {
  SoakCase c = MakeCase(9, FaultClass::Dead);
  c.simArgs = {"--finish-status", "0x45"};
  c.acceptable = {"Flash Not Erase"};
  c.required = "The bootloader refused the closing report";
  const SoakResult r = RunSmallCase(c);
  EXPECT_EQ(r.verdict, Verdict::FailedRightly) << r.detail;
}

TEST(ShortSoak, PulledLineFailsSayingSo) {
  SoakCase c = MakeCase(8, FaultClass::Unplug);
  c.simArgs = {"--unplug-after-bytes", "20000"};
  const SoakResult r = RunSmallCase(c);
  EXPECT_EQ(r.verdict, Verdict::FailedRightly) << r.detail;
}

}  // namespace
}  // namespace vestrel::soak
