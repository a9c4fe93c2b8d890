// vestrel-cli as a user and a build script see it: exit codes, output and the image file.
#include <gtest/gtest.h>

#include <filesystem>

#include "app/cli/cli_options.h"
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
  EXPECT_TRUE(Contains(r.out,
                       "  --port PORT                 a path, COMn, rfc2217://HOST:PORT or "
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

// The command line is a pure parse: every usage error is found before anything is opened.
CliCommand Parse(std::vector<std::string> args) {
  args.insert(args.begin(), "vestrel-cli");
  std::vector<const char*> argv;
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  return ParseCommandLine(static_cast<int>(argv.size()), argv.data());
}

using Args = std::vector<std::string>;

TEST(CommandLine, UsageErrorsExitTwoWithTheShortUsage) {
  const Args cases[] = {
      {},
      {"--bogus"},
      {"-f", "in.hex", "--flash-size", "12k", "--image-out", "out"},
      {"-f", "in.hex", "--flash-size", "0", "--image-out", "out"},
      {"-f", "in.hex", "--flash-size", "0x80000"},
      {"-f", "in.hex", "--image-out", "out"},
      {"--flash-size", "0x80000", "--image-out", "out"},
      {"-f", "in.hex", "--flash-size", "--image-out", "out"},
      // several boards: a port twice, no rate, no step, a malformed remote port, a report
      // without ports, the monitor
      {"-f", "in.hex", "--port", "COM1", "--port", "COM1", "-b7", "-a"},
      {"-f", "in.hex", "--port", "COM1", "--port", "COM2", "-a"},
      {"--port", "COM1", "--port", "COM2", "-b7"},
      {"--port", "rfc2217://farm", "-b7", "-e"},
      {"-f", "in.hex", "-c1", "-b7", "-a", "--report", "out"},
      {"--port", "COM1", "--port", "COM2", "-b7", "-e", "--monitor"},
      // a step with a port but no rate, or with no port at all (regression: it skipped the
      // connect, then tried to erase)
      {"-f", "in.hex", "-c1", "-a"},
      {"-f", "in.hex", "--port", "/dev/ttyUSB0", "-e"},
      {"-f", "in.hex", "--port", "rfc2217://farm:4001", "-a"},
      {"-c1"},
      {"-f", "in.hex", "-a"},
      {"-e"},
  };
  for (const Args& args : cases) {
    const CliCommand command = Parse(args);
    SCOPED_TRACE(testing::PrintToString(args) + "\n" + command.err);
    EXPECT_EQ(command.action, CliAction::Exit);
    EXPECT_EQ(command.exitCode, kExitUsage);
    EXPECT_TRUE(Contains(command.err, "Usage: vestrel-cli"));
    EXPECT_EQ(command.out, "");
  }
}

TEST(CommandLine, AMissingRateOrPortIsNamed) {
  EXPECT_TRUE(
      Contains(Parse({"-f", "in.hex", "-c1", "-a"}).err, "needs the bootloader's baud rate"));
  EXPECT_TRUE(Contains(Parse({"-f", "in.hex", "-a"}).err, "need a port to connect to"));
}

// A raw TCP port has no rate to set: it connects without one, and the time budgets take the
// slowest rate of the list; a rate given is used for them.
TEST(CommandLine, ARawTcpPortConnectsWithoutARate) {
  const CliCommand bare = Parse({"-f", "in.hex", "--port", "socket://127.0.0.1:4001", "-a"});
  ASSERT_EQ(bare.action, CliAction::Load) << bare.err;
  EXPECT_EQ(bare.load.baudRate, kRawTcpBudgetRate);
  const CliCommand rated =
      Parse({"-f", "in.hex", "--port", "socket://127.0.0.1:4001", "--baud", "921600", "-a"});
  EXPECT_EQ(rated.load.baudRate, 921600u);
  const CliCommand gang = Parse({"-f", "in.hex", "--port", "socket://127.0.0.1:4001", "--port",
                                 "socket://127.0.0.1:4002", "-a"});
  EXPECT_EQ(gang.action, CliAction::GangLoad) << gang.err;
}

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
