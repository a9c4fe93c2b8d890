#include "tools/sim/sim_options.h"

#include <gtest/gtest.h>

#include <sstream>

namespace vestrel::sim {
namespace {

ParsedOptions Parse(std::vector<const char*> args, std::string* errText = nullptr) {
  args.insert(args.begin(), "vestrel-sim");
  std::ostringstream out;
  std::ostringstream err;
  ParsedOptions parsed = ParseOptions(static_cast<int>(args.size()), args.data(), out, err);
  if (errText) *errText = err.str();
  return parsed;
}

TEST(SimOptionsTest, ParsesHexSizesVersionAndFaults) {
  const ParsedOptions parsed = Parse({"--flash-size",
                                      "0x2000",
                                      "--version",
                                      "2.17",
                                      "--drop",
                                      "0.25",
                                      "--burst-gap-ms",
                                      "40",
                                      "--unplug-after-bytes",
                                      "0",
                                      "--sync-answer",
                                      "0xA5",
                                      "--finish-status",
                                      "0x47",
                                      "--late",
                                      "0.5",
                                      "--late-ms",
                                      "300",
                                      "--stop-reading-after-bytes",
                                      "900",
                                      "--listen",
                                      "rfc2217://127.0.0.1:0"});
  ASSERT_TRUE(parsed.options);
  const SimOptions& o = *parsed.options;
  EXPECT_EQ(o.model.flashSize, 0x2000u);
  EXPECT_EQ(o.model.versionMajor, 2);
  EXPECT_EQ(o.model.versionMinor, 17);
  EXPECT_DOUBLE_EQ(o.faults.drop, 0.25);
  EXPECT_EQ(o.faults.burstGap, std::chrono::milliseconds(40));
  EXPECT_EQ(o.unplugAfterBytes, 0u);
  EXPECT_EQ(o.syncAnswer, 0xA5);
  EXPECT_EQ(o.model.finishStatus, 0x47);
  EXPECT_DOUBLE_EQ(o.faults.late, 0.5);
  EXPECT_EQ(o.faults.lateBy, std::chrono::milliseconds(300));
  EXPECT_EQ(o.stopReadingAfterBytes, 900u);
  EXPECT_EQ(o.listen, "rfc2217://127.0.0.1:0");

  const ParsedOptions wired =
      Parse({"--reset-line", "rts", "--entry-line", "dtr", "--modem-socket", "/tmp/m"});
  ASSERT_TRUE(wired.options);
  ASSERT_TRUE(wired.options->resetWiring);
  EXPECT_EQ(wired.options->resetWiring->reset, Line::Rts);
  EXPECT_EQ(wired.options->resetWiring->entry, Line::Dtr);
  EXPECT_EQ(wired.options->modemSocket, "/tmp/m");
}

TEST(SimOptionsTest, DefaultsDescribeAHealthyBootloader) {
  const ParsedOptions parsed = Parse({});
  ASSERT_TRUE(parsed.options);
  EXPECT_EQ(parsed.options->model.flashSize, 0x80000u);
  EXPECT_EQ(parsed.options->eraseMs, 500u);
  EXPECT_FALSE(parsed.options->unplugAfterBytes);
  EXPECT_FALSE(parsed.options->silent);
}

TEST(SimOptionsTest, HelpEndsWithStatusZero) {
  const ParsedOptions parsed = Parse({"--help"});
  EXPECT_FALSE(parsed.options);
  EXPECT_EQ(parsed.exitCode, 0);
}

TEST(SimOptionsTest, UsageErrorsEndWithStatusTwo) {
  for (const auto& args :
       std::vector<std::vector<const char*>>{{"--drop", "1.5"},
                                             {"--flash-size", "0x1001"},
                                             {"--flash-size", "0"},
                                             {"--version", "1"},
                                             {"--version", "1.256"},
                                             {"--version", "1.x"},
                                             {"--sync-answer", "256"},
                                             {"--finish-status", "0x10000"},
                                             {"--finish-status", "E"},
                                             {"--reset-line", "cts"},
                                             {"--entry-line", "dtr"},
                                             {"--reset-line", "rts", "--entry-line", "rts"},
                                             {"--no-such-option"},
                                             {"--erase-ms"}}) {
    std::string err;
    const ParsedOptions parsed = Parse(args, &err);
    EXPECT_FALSE(parsed.options) << args[0];
    EXPECT_EQ(parsed.exitCode, 2) << args[0];
    EXPECT_FALSE(err.empty()) << args[0];
  }
}

}  // namespace
}  // namespace vestrel::sim
