#include "protocol/reset_sequence.h"

#include <gtest/gtest.h>

namespace vestrel::protocol {
namespace {

using Kind = ResetStep::Kind;

ResetStep Dtr(bool on) {
  return {Kind::Line, ModemLine::Dtr, on, 0};
}
ResetStep Rts(bool on) {
  return {Kind::Line, ModemLine::Rts, on, 0};
}
ResetStep Wait(unsigned ms) {
  return {Kind::Wait, ModemLine::Dtr, false, ms};
}

TEST(ResetSequence, NamesAndWrittenStepsGiveTheirSteps) {
  struct Case {
    const char* text;
    std::vector<ResetStep> steps;
    const char* applicationStart;
  };
  const Case cases[] = {
      {"dtr-pulse", {Dtr(true), Wait(100), Dtr(false), Wait(100)}, "dtr=1,wait=100,dtr=0"},
      {"rts-pulse", {Rts(true), Wait(100), Rts(false), Wait(100)}, "rts=1,wait=100,rts=0"},
      {"dtr-hold-rts-pulse",
       {Dtr(true), Rts(true), Wait(100), Rts(false), Wait(100), Dtr(false)},
       "rts=1,wait=100,rts=0"},
      {"dtr=1,rts=0,wait=50,dtr=0", {Dtr(true), Rts(false), Wait(50), Dtr(false)}, ""},
      {" rts = 1 , wait=10000,rts=0 ", {Rts(true), Wait(10000), Rts(false)}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::string error;
    const auto sequence = ParseResetSequence(c.text, error);
    ASSERT_TRUE(sequence) << error;
    EXPECT_EQ(sequence->steps, c.steps);
    EXPECT_EQ(sequence->applicationStart, c.applicationStart);
  }
}

TEST(ResetSequence, MistakesAreRefusedSayingWhy) {
  const std::pair<const char*, const char*> cases[] = {
      {"", "empty"},
      {"dtr-pulses", "neither a named sequence"},
      {"dtr=2", "1 (on) or 0 (off)"},
      {"rts=", "1 (on) or 0 (off)"},
      {"wait=10001", "0 to 10000"},
      {"wait=-1", "0 to 10000"},
      {"dtr=1,,dtr=0", "is not a step"},
      {"cts=1", "is not a step"},
      {"dtr=1,", "is not a step"},
  };
  for (const auto& [text, why] : cases) {
    std::string error;
    EXPECT_FALSE(ParseResetSequence(text, error)) << text;
    EXPECT_NE(error.find(why), std::string::npos) << text << ": " << error;
  }
  std::string many = "dtr=1";
  for (std::size_t i = 0; i < kMaxResetSteps; ++i) many += ",wait=1";
  std::string error;
  EXPECT_FALSE(ParseResetSequence(many, error));
}

TEST(ResetSequence, ResetAfterTakesItsOwnStepsOrTheNamedSequencesStart) {
  std::string error;
  const auto named = ParseResetSequence("dtr-hold-rts-pulse", error);
  const auto written = ParseResetSequence("dtr=1,dtr=0", error);
  EXPECT_EQ(ParseResetAfter("", named, error)->steps,
            (std::vector<ResetStep>{Rts(true), Wait(100), Rts(false)}));
  EXPECT_EQ(ParseResetAfter("rts=1,rts=0", written, error)->steps,
            (std::vector<ResetStep>{Rts(true), Rts(false)}));
  EXPECT_FALSE(ParseResetAfter("", written, error));
  EXPECT_FALSE(ParseResetAfter("", std::nullopt, error));
  EXPECT_NE(error.find("needs a sequence"), std::string::npos) << error;
}

}  // namespace
}  // namespace vestrel::protocol
