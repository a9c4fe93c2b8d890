// Complete loads with the built vestrel-cli against the built simulator over a pseudo-terminal.
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/cli/run_program.h"
#include "tests/support/hex_text.h"
#include "tests/support/port_dir.h"
#include "tests/support/pty_pair.h"
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

// The lines a run prints, without the closing summary (its time differs from run to run).
std::string WithoutSummary(const std::string& out) {
  return out.substr(0, out.find("Summary:"));
}

TEST_F(CliLoad, SkipBlankLoadsOnlyTheDataBlocksAndEndsAsTheFullLoad) {
  // Old contents everywhere: only the erase makes the blocks left out blank.
  const std::string old = dir.Write("old.bin", std::string(kFlashSize, '\x5A'));
  const std::string log = dir.File("sim.jsonl");
  StartSim({"--flash-in", old, "--log", log});
  const RunResult fast = Cli({"-f" + hexFile, "-c1", "-b7", "-a", "--skip-blank"});
  EXPECT_EQ(fast.exitCode, 0) << fast.err;
  EXPECT_EQ(FlashAfterExit(), expected);
  // Blocks 0 to 5 and 31 hold data: each written once, read back once and verified once.
  const std::string requests = ReadText(log);
  EXPECT_EQ(Count(requests, "\"name\":\"program\""), 7u);
  EXPECT_EQ(Count(requests, "\"name\":\"program-blank\""), 0u);
  EXPECT_EQ(Count(requests, "\"name\":\"read-memory\""), 14u);
  EXPECT_NE(requests.find("\"used_length\":\"0x00004000\""), std::string::npos);

  StartSim({"--flash-in", old});
  const RunResult full = Cli({"-f" + hexFile, "-c1", "-b7", "-a"});
  EXPECT_EQ(full.exitCode, 0) << full.err;
  EXPECT_EQ(WithoutSummary(fast.out), WithoutSummary(full.out));
  EXPECT_EQ(fast.err, full.err);
  EXPECT_EQ(FlashAfterExit(), expected);
}

TEST_F(CliLoad, RatesAbove115200ReachTheLine) {
  // Rates above 230400 have no POSIX constant: the platform sets them through termios2.
  StartSim({});
  for (const char* rate : {"230400", "921600", "1234567", "3000000"}) {
    const RunResult r = Cli({"--port", "COM1", "--baud", rate, "-e"});
    EXPECT_EQ(r.exitCode, 0) << rate << ": " << r.err;
    EXPECT_NE(r.out.find("Erasing: Great Success"), std::string::npos) << rate;
  }
}

TEST_F(CliLoad, InjectedLineFaultsAreAbsorbedByTheRetries) {
  StartSim({"--seed", "11", "--noise", "0.05", "--corrupt", "0.05", "--drop", "0.03",
            "--bad-readback", "0.05", "--burst-gap-ms", "5", "--burst-bytes", "128", "--late",
            "0.05"});
  const RunResult r = Cli({"--file", hexFile, "--port", "COM1", "--baud", "115200", "--all"});
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_EQ(FlashAfterExit(), expected);
}

// Regression: a target that stopped answering mid-load took minutes to fail.
TEST_F(CliLoad, ALineThatStopsMidLoadEndsTheRunSayingSo) {
  StartSim({"--stop-reading-after-bytes", "6000"});
  const RunResult r = Cli({"-f", hexFile, "-c", "1", "-b", "7", "-a"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("No reply from the bootloader to 20 requests in a row"), std::string::npos)
      << r.err;
  EXPECT_NE(r.out.find("Programm: Failed"), std::string::npos) << r.out;
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
  // Regression: with --quiet nothing at all was printed; the reason goes to stderr.
  const RunResult quiet = Cli({"-f" + hexFile, "-c1", "-b5", "-a", "--quiet"});
  EXPECT_EQ(quiet.exitCode, 1);
  EXPECT_EQ(quiet.out, "");
  EXPECT_EQ(
      quiet.err,
      "Error: ERROR:  COMM Sync\n  No answer from the bootloader on COM1 to 20 sync probes at "
      "38400 baud: is the board in its bootloader, and is the rate right?\n");
}

// Regression: a finish that the bootloader refused counted as success (exit 0).
TEST_F(CliLoad, RefusedFinishFailsTheProgramStep) {
  StartSim({"--finish-status", "0x47"});
  const RunResult r = Cli({"-f" + hexFile, "-c1", "-b7", "-a"});
  EXPECT_EQ(r.exitCode, 1) << r.err;
  EXPECT_NE(r.err.find("Error: Flash Not Programmed"), std::string::npos) << r.err;
  EXPECT_NE(r.out.find("program failed, verify ok, run skipped"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("Running Program"), std::string::npos) << r.out;
}

// Regression: every load opened each port of the map, dropping DTR on the other boards.
TEST_F(CliLoad, ALoadOpensOnlyItsOwnPort) {
  StartSim({});
  testing_support::PtyPair other;
  ASSERT_TRUE(other.ok());
  ports.Link(2, other.SlavePath());
  const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(::inotify_add_watch(watch, other.SlavePath().c_str(), IN_OPEN), 0);
  const RunResult r = Cli({"-f" + hexFile, "-c1", "-b7", "-a"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  inotify_event event{};
  EXPECT_LT(::read(watch, &event, sizeof event), 0) << "COM2 was opened";
  ::close(watch);
}

// Regression: a connect that failed on an absent port ended with exit 0.
TEST_F(CliLoad, AbsentPortIsNamedAndFailsTheRun) {
  const RunResult r = Cli({"-f" + hexFile, "-c4", "-b7"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("Port Error: Unable to Open COMM Port\n  COM4 ("), std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("com4) does not exist"), std::string::npos) << r.err;
  EXPECT_NE(r.out.find("Summary: file ok, connect failed;"), std::string::npos) << r.out;
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
  EXPECT_EQ(bad.exitCode, 1);  // unlike the window: every requested step counts
}

// Regression: port and rate alone started an endless monitor instead of a connect.
TEST_F(CliLoad, ConnectAloneShowsTheVersionAndEnds) {
  StartSim({});
  const RunResult r = Cli({"-c1", "-b7"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("BL Version: v01.00\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Summary: connect ok"), std::string::npos) << r.out;
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
      {"--port", "COM0", "-f", "app.hex", "-a"},
      // Refused before anything is sent: steps that need a file, a monitor rate outside the list.
      {"-c1", "-b7", "-a"},
      {"-c1", "-b7", "-p"},
      {"-c1", "-b7", "-v"},
      {"-f", "app.hex", "-c1", "--baud", "921600", "-a", "--monitor"},
  };
  for (const auto& args : mistakes) {
    const RunResult r = test::Run(VESTREL_CLI, args, dir);
    EXPECT_EQ(r.exitCode, 2) << testing::PrintToString(args);
    EXPECT_NE(r.err.find("Usage: vestrel-cli"), std::string::npos) << r.err;
  }
}

// --json: every run's output is NDJSON the schema accepts, ending with the result and its class.
TEST_F(CliLoad, JsonEventsEndWithTheResultAndItsClass) {
  const std::string bad = dir.Write("bad.hex", ":10000000FF\n");
  struct Case {
    const char* name;
    std::vector<std::string> simArgs;
    std::vector<std::string> args;
    int exitCode;
    const char* errorClass;  // nullptr: none
  };
  const Case cases[] = {
      {"full load", {}, {"-f" + hexFile, "-c1", "-b7", "-a"}, 0, nullptr},
      {"silent line", {"--silent"}, {"-f" + hexFile, "-c1", "-b7", "-a"}, 1, "no-sync"},
      {"refused finish",
       {"--finish-status", "0x47"},
       {"-f" + hexFile, "-c1", "-b7", "-a"},
       1,
       "finish-refused"},
      {"bad file", {}, {"-f" + bad, "-c1", "-b7", "-a"}, 1, "file-invalid"},
      {"usage error", {}, {"-f" + hexFile, "-c1", "-a"}, 2, "usage"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StartSim(c.simArgs);
    std::vector<std::string> args = c.args;
    args.push_back("--json");
    const RunResult r = Cli(args);
    EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
    const std::string events = dir.Write("events.jsonl", r.out);
    const RunResult valid = test::Run(
        "/usr/bin/python3", {VESTREL_EVENTS_VALIDATOR, VESTREL_EVENTS_SCHEMA, events}, dir);
    EXPECT_EQ(valid.exitCode, 0) << valid.out << valid.err;
    const std::string last = r.out.substr(r.out.rfind('\n', r.out.size() - 2) + 1);
    EXPECT_NE(last.find(c.errorClass ? std::string("\"class\":\"") + c.errorClass + "\""
                                     : std::string("\"error\":null")),
              std::string::npos)
        << last;
    EXPECT_EQ(sim.Terminate(), 0);
  }
}

}  // namespace
}  // namespace vestrel::test
