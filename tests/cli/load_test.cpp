// Complete loads with the built vestrel-cli against the built simulator over a pseudo-terminal.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/cli/run_program.h"
#include "tests/support/hex_text.h"
#include "tests/support/port_dir.h"
#include "tests/support/sim_process.h"

namespace vestrel::test {
namespace {

constexpr std::uint32_t kFlashSize = 0x4000;

class CliLoad : public testing::Test {
 protected:
  void SetUp() override {
    HexText hex;
    hex.Data(0x1FC00000, Pattern(32, 9));  // boot flash: not the loader's
    hex.Data(0x1D000000, Pattern(3000, 1));
    hex.Data(0x1D003F00, Pattern(256, 2));  // the last page
    hex.Data(0x1FC02FF0, Bytes(16, 0x7F));  // configuration words
    hex.End();
    hexFile = dir.Write("app.hex", hex.Text());
    expected = Bytes(kFlashSize, 0xFF);
    const Bytes a = Pattern(3000, 1), b = Pattern(256, 2);
    std::copy(a.begin(), a.end(), expected.begin());
    std::copy(b.begin(), b.end(), expected.begin() + 0x3F00);
  }

  // Starts the simulator as COM1 of the test's port directory.
  void StartSim(std::vector<std::string> args) {
    args.insert(args.end(),
                {"--flash-size", std::to_string(kFlashSize), "--erase-ms", "50", "--link",
                 ports.Entry(1).string(), "--flash-out", FlashFile(), "--quiet"});
    ASSERT_TRUE(sim.Start(args));
  }

  RunResult Cli(std::vector<std::string> args) {
    args.insert(args.end(), {"--progress", "never"});
    return test::Run(VESTREL_CLI, args, dir);
  }

  Bytes FlashAfterExit() {
    EXPECT_EQ(sim.Terminate(), 0);
    return ReadBytes(FlashFile());
  }

  std::string FlashFile() const { return dir.File("flash.bin"); }

  TempDir dir;
  testing_support::PortDir ports;
  SimProcess sim;
  std::string hexFile;
  Bytes expected;
};

TEST_F(CliLoad, FullRunLeavesTheFlashEqualToTheImage) {
  StartSim({});
  const RunResult r = Cli({"-f" + hexFile, "-c1", "-b7", "-a"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.err, "");
  for (const char* text :
       {"COM1 is open\n", "BL Version: v01.00\n", "Erasing: Great Success\n", "Verify: Success\n",
        "Programm: Success\n", "Running Program\n",
        "Summary: file ok, connect ok, erase ok, program ok, verify ok, run ok; 16384 bytes in"})
    EXPECT_NE(r.out.find(text), std::string::npos) << text;
  EXPECT_EQ(FlashAfterExit(), expected);
}

TEST_F(CliLoad, InjectedLineFaultsAreAbsorbedByTheRetries) {
  StartSim({"--seed", "11", "--noise", "0.05", "--corrupt", "0.05", "--drop", "0.03",
            "--bad-readback", "0.05", "--burst-gap-ms", "5", "--burst-bytes", "128"});
  const RunResult r = Cli({"--file", hexFile, "--port", "COM1", "--baud", "115200", "--all"});
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_EQ(FlashAfterExit(), expected);
}

TEST_F(CliLoad, PulledLineEndsTheLoadWithAMessageThatSaysSo) {
  StartSim({"--unplug-after-bytes", "9000"});
  const auto start = std::chrono::steady_clock::now();
  const RunResult r = Cli({"-f", hexFile, "-c", "1", "-b", "7", "-a"});
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("went away (adapter unplugged?)"), std::string::npos) << r.err;
  EXPECT_NE(r.out.find("Programm: Failed"), std::string::npos) << r.out;
  EXPECT_LT(took, std::chrono::seconds(20));  // a hang guard, not a speed goal
}

TEST_F(CliLoad, SilentLineFailsTheSyncAndEveryLaterStep) {
  StartSim({"--silent"});
  const RunResult r = Cli({"-f" + hexFile, "-c1", "-b5", "-a"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.out.find("Baud Sync...\nERROR:  COMM Sync\n"), std::string::npos) << r.out;
}

TEST_F(CliLoad, ProgramWithoutEraseStillCountsAsProgrammedAndVerified) {
  // The bootloader reports the flash as not erased, yet both requested steps succeeded.
  StartSim({});
  const RunResult r = Cli({"-f" + hexFile, "-c1", "-b7", "-p", "-v"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.err.find("Error: Flash Not Erase"), std::string::npos) << r.err;
  EXPECT_NE(r.out.find("Programm: Verify OK ERROR"), std::string::npos);
}

TEST_F(CliLoad, AbsentPortIsNamedAndFailsTheRun) {
  const RunResult r = Cli({"-f" + hexFile, "-c4", "-b7", "-a"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("COM4 is absent or held by another program"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("No port is selected."), std::string::npos) << r.err;
}

TEST_F(CliLoad, VerifyAloneExitsByItsOwnOutcome) {
  StartSim({});
  ASSERT_EQ(Cli({"-f" + hexFile, "-c1", "-b7", "-e", "-p"}).exitCode, 0);
  EXPECT_EQ(Cli({"-f" + hexFile, "-c1", "-b7", "-v"}).exitCode, 0);

  HexText other;
  other.Data(0x1D000000, Pattern(64, 77)).End();
  const RunResult r = Cli({"-f" + dir.Write("other.hex", other.Text()), "-c1", "-b7", "-v"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("Receive Verify Error Addr: 0x9D000000"), std::string::npos) << r.err;
}

TEST_F(CliLoad, MonitorAfterTheLoadShowsWhatTheStartedApplicationSends) {
  StartSim({"--app-text", "hello from the app", "--app-delay-ms", "800"});
  const RunResult r =
      Cli({"-f" + hexFile, "-c1", "-b7", "-a", "--monitor", "--monitor-seconds", "3"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("Running Program\n"), std::string::npos);
  EXPECT_NE(r.out.find("hello from the app"), std::string::npos) << r.out;
}

TEST_F(CliLoad, FileAloneIsReadAndTestedWithoutATarget) {
  EXPECT_EQ(Cli({"-f", hexFile}).out,
            "File: " + hexFile + "\nSummary: file ok; 0.0 s; exit code 0\n");
  const RunResult bad = Cli({"-f", dir.Write("bad.hex", ":0400000001020304F3\n")});
  EXPECT_NE(bad.err.find("Error: HEX File Error\n  line 1"), std::string::npos) << bad.err;
  EXPECT_EQ(bad.exitCode, 0);  // as in the window, the file load alone does not set the code
}

TEST(CliUsage, MistakesOnTheCommandLineExitWithTwo) {
  TempDir dir;
  const std::vector<std::vector<std::string>> mistakes = {
      {},
      {"-b", "8"},
      {"-c", "0"},
      {"-c", "257"},
      {"--baud", "fast"},
      {"-c1", "--port", "/dev/ttyUSB0"},
      {"-b1", "--baud", "9600"},
      {"--progress", "sometimes"},
      {"--list-ports", "-a"},
      {"-x"},
      {"--monitor"},
      {"--monitor-seconds", "3"},
      {"--port", "COM0", "-a"},
  };
  for (const auto& args : mistakes) {
    const RunResult r = test::Run(VESTREL_CLI, args, dir);
    EXPECT_EQ(r.exitCode, 2) << testing::PrintToString(args);
    EXPECT_NE(r.err.find("Usage: vestrel-cli"), std::string::npos) << r.err;
  }
}

}  // namespace
}  // namespace vestrel::test
