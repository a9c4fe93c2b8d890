// vestrel-cli as a user and a build script see it: exit codes, output and the image file.
#include <gtest/gtest.h>

#include <filesystem>

#include "app/cli/image_export.h"
#include "tests/cli/run_program.h"
#include "tests/support/hex_text.h"

namespace vestrel::cli {
namespace {

using test::Bytes;
using test::Contains;
using test::HexText;
using test::TempDir;

test::RunResult RunCli(const std::vector<std::string>& args, const TempDir& dir) {
  return test::Run(VESTREL_CLI, args, dir);
}

TEST(ParseFlashSize, AcceptsDecimalAndHex) {
  EXPECT_EQ(ParseFlashSize("524288"), 0x80000u);
  EXPECT_EQ(ParseFlashSize("0x80000"), 0x80000u);
  EXPECT_EQ(ParseFlashSize("0X80000"), 0x80000u);
  EXPECT_EQ(ParseFlashSize("0x1000000"), 0x1000000u);
  EXPECT_EQ(ParseFlashSize("1"), 1u);
}

TEST(ParseFlashSize, RefusesAnythingElse) {
  for (const char* text : {"", "0", "0x", "0x0", "12k", "-1", "+5", " 5", "5 ", "0x-1", "0x1000001",
                           "16777217", "99999999999", "0b101", "x80000"}) {
    EXPECT_FALSE(ParseFlashSize(text)) << '"' << text << '"';
  }
}

TEST(Cli, HelpNamesTheOptions) {
  TempDir dir;
  const test::RunResult r = RunCli({"--help"}, dir);
  EXPECT_EQ(r.exitCode, kExitOk);
  for (const char* option : {"-f,--file", "--flash-size", "--image-out", "--version"}) {
    EXPECT_TRUE(Contains(r.out, option)) << option << " missing from\n" << r.out;
  }
  // Regression: "--port PORT Excludes: --com a path, ...": constraints ran into the description.
  EXPECT_FALSE(Contains(r.out, "Excludes:") || Contains(r.out, "Needs:")) << r.out;
  EXPECT_TRUE(Contains(r.out, "  --port PORT                 a path, COMn, rfc2217://HOST:PORT or "
                              "socket://HOST:PORT; again for more boards; not with --com\n"))
      << r.out;
  EXPECT_TRUE(Contains(r.out, "without a target; needs --file, --flash-size\n")) << r.out;
}

TEST(Cli, VersionIsTheProjectVersion) {
  TempDir dir;
  const test::RunResult r = RunCli({"--version"}, dir);
  EXPECT_EQ(r.exitCode, kExitOk);
  EXPECT_EQ(r.out, std::string(VESTREL_VERSION) + "\n");
}

class UsageErrors : public testing::TestWithParam<std::vector<std::string>> {};

TEST_P(UsageErrors, ExitTwoWithShortUsageAndNoImage) {
  TempDir dir;
  const std::string hex = dir.Write("in.hex", ":00000001FF\n");
  std::vector<std::string> args;
  for (std::string arg : GetParam()) {
    if (arg == "IN") arg = hex;
    if (arg == "OUT") arg = dir.File("out.bin");
    args.push_back(arg);
  }
  const test::RunResult r = RunCli(args, dir);
  EXPECT_EQ(r.exitCode, kExitUsage);
  EXPECT_TRUE(Contains(r.err, "Usage: vestrel-cli")) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_FALSE(std::filesystem::exists(dir.File("out.bin")));
}

using Args = std::vector<std::string>;
INSTANTIATE_TEST_SUITE_P(
    Cli, UsageErrors,
    testing::Values(Args{}, Args{"--bogus"},
                    Args{"-f", "IN", "--flash-size", "12k", "--image-out", "OUT"},
                    Args{"-f", "IN", "--flash-size", "0", "--image-out", "OUT"},
                    Args{"-f", "IN", "--flash-size", "0x80000"},
                    Args{"-f", "IN", "--image-out", "OUT"},
                    Args{"--flash-size", "0x80000", "--image-out", "OUT"},
                    Args{"-f", "IN", "--flash-size", "--image-out", "OUT"},
                    // several boards: a port twice, no rate, no step, a malformed remote port,
                    // a report without ports, the monitor
                    Args{"-f", "IN", "--port", "COM1", "--port", "COM1", "-b7", "-a"},
                    Args{"-f", "IN", "--port", "COM1", "--port", "COM2", "-a"},
                    Args{"--port", "COM1", "--port", "COM2", "-b7"},
                    Args{"--port", "rfc2217://farm", "-b7", "-e"},
                    Args{"-f", "IN", "-c1", "-b7", "-a", "--report", "OUT"},
                    Args{"--port", "COM1", "--port", "COM2", "-b7", "-e", "--monitor"}));

// Flash of 4 KiB: a boot flash record (skipped), two program records out of address order.
HexText SmallProgram() {
  return HexText()
      .Data(0x1FC00000, test::Pattern(32, 1))
      .Data(0x1D000200, test::Pattern(48, 2))
      .Data(0x1D000100, test::Pattern(4, 3))
      .End();
}

Bytes SmallImage() {
  Bytes image(4096, 0xFF);
  const Bytes high = test::Pattern(48, 2);
  const Bytes low = test::Pattern(4, 3);
  std::copy(high.begin(), high.end(), image.begin() + 0x200);
  std::copy(low.begin(), low.end(), image.begin() + 0x100);
  return image;
}

TEST(Cli, ExportsTheImageWithGluedFileAndHexSize) {
  TempDir dir;
  const std::string hex = dir.Write("in.hex", SmallProgram().Text());
  const std::string out = dir.File("out.bin");
  const test::RunResult r = RunCli({"-f" + hex, "--flash-size", "0x1000", "--image-out", out}, dir);
  ASSERT_EQ(r.exitCode, kExitOk) << r.err;
  // The highest stored byte, although the last record in the file ends at 0x104.
  EXPECT_EQ(r.out, "Used length: 0x00000230 (560 bytes)\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(test::ReadBytes(out), SmallImage());
}

TEST(Cli, ExportsTheImageWithLongOptionsAndDecimalSize) {
  TempDir dir;
  const std::string hex = dir.Write("in.hex", SmallProgram().Text("\n"));
  const std::string out = dir.File("out.bin");
  const test::RunResult r = RunCli({"--file", hex, "--flash-size=4096", "--image-out", out}, dir);
  ASSERT_EQ(r.exitCode, kExitOk) << r.err;
  EXPECT_EQ(test::ReadBytes(out), SmallImage());
}

TEST(Cli, FileWithoutProgramFlashDataIsRefused) {
  TempDir dir;
  const std::string hex =
      dir.Write("in.hex", HexText().Data(0x1FC00000, test::Pattern(64)).End().Text());
  const std::string out = dir.File("out.bin");
  const test::RunResult r = RunCli({"-f", hex, "--flash-size", "512", "--image-out", out}, dir);
  EXPECT_EQ(r.exitCode, kExitFailure);
  EXPECT_NE(r.err.find("no data for the program flash"), std::string::npos) << r.err;
  EXPECT_FALSE(std::filesystem::exists(out));
}

TEST(Cli, ChecksumErrorIsAHexFileErrorNamingTheLine) {
  TempDir dir;
  const std::string hex = dir.Write(
      "in.hex", ":020000041D00DD\n:0400000001020304F2\n:0400100001020304F3\n:00000001FF\n");
  const std::string out = dir.File("out.bin");
  const test::RunResult r = RunCli({"-f", hex, "--flash-size", "4096", "--image-out", out}, dir);
  EXPECT_EQ(r.exitCode, kExitFailure);
  EXPECT_TRUE(r.err.starts_with("HEX File Error")) << r.err;
  EXPECT_TRUE(Contains(r.err, "line 3")) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_FALSE(std::filesystem::exists(out));
}

TEST(Cli, MissingFileIsAHexFileError) {
  TempDir dir;
  const std::string hex = dir.File("absent.hex");
  const test::RunResult r =
      RunCli({"-f", hex, "--flash-size", "4096", "--image-out", dir.File("out.bin")}, dir);
  EXPECT_EQ(r.exitCode, kExitFailure);
  EXPECT_TRUE(r.err.starts_with("HEX File Error")) << r.err;
  EXPECT_TRUE(Contains(r.err, hex)) << r.err;
}

TEST(Cli, DataBeyondTheFlashSizeFailsNamingTheAddress) {
  TempDir dir;
  const std::string hex =
      dir.Write("in.hex", HexText().Data(0x1D000FF8, test::Pattern(16)).End().Text());
  const std::string out = dir.File("out.bin");
  const test::RunResult r = RunCli({"-f", hex, "--flash-size", "4096", "--image-out", out}, dir);
  EXPECT_EQ(r.exitCode, kExitFailure);
  EXPECT_TRUE(Contains(r.err, "0x1D001000")) << r.err;
  EXPECT_TRUE(Contains(r.err, "beyond the 4 KiB program flash")) << r.err;
  EXPECT_FALSE(std::filesystem::exists(out));
}

TEST(Cli, UnwritableOutputFails) {
  TempDir dir;
  const std::string hex = dir.Write("in.hex", SmallProgram().Text());
  const test::RunResult r =
      RunCli({"-f", hex, "--flash-size", "4096", "--image-out", dir.File("")}, dir);
  EXPECT_EQ(r.exitCode, kExitFailure);
  EXPECT_TRUE(Contains(r.err, "cannot write")) << r.err;
}

}  // namespace
}  // namespace vestrel::cli
