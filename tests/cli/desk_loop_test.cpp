// Hands-free loads with the built vestrel-cli against the built simulator over a pseudo-terminal:
// a board that enters its bootloader only after a reset through DTR/RTS, a board plugged in
// while the loader waits, ELF files, and loading again when the file changes. A pseudo-terminal
// has no modem lines: the loader's DTR/RTS calls reach the simulator through the modem-line
// shim preloaded into vestrel-cli and the simulator's --modem-socket.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tests/cli/run_program.h"
#include "tests/reliability/child_process.h"
#include "tests/support/elf_build.h"
#include "tests/support/hex_text.h"
#include "tests/support/port_dir.h"
#include "tests/support/sim_process.h"

namespace vestrel::test {
namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t kDeskFlashSize = 0x4000;

// Waits until `file` holds `text` `times` times, at most `limit`.
bool WaitForText(const std::string& file, const std::string& text, std::chrono::seconds limit,
                 std::size_t times = 1) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    const std::string content = ReadText(file);
    std::size_t found = 0;
    for (auto at = content.find(text); at != std::string::npos; at = content.find(text, at + 1))
      ++found;
    if (found >= times) return true;
    std::this_thread::sleep_for(20ms);
  }
  return false;
}

// Asserts and releases DTR through the simulator's modem socket, as a reset button would.
bool PressReset(const std::string& socketPath) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  bool done = fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  for (unsigned char state : {std::uint8_t{0x01}, std::uint8_t{0x00}}) {
    const unsigned char report[2] = {0x01, state};
    unsigned char answer = 0;
    done = done && ::send(fd, report, 2, MSG_NOSIGNAL) == 2 && ::recv(fd, &answer, 1, 0) == 1;
  }
  if (fd >= 0) ::close(fd);
  return done;
}

class DeskLoop : public testing::Test {
 protected:
  void SetUp() override {
    hexFile = dir.Write("app.hex", RegionsHex(regions));
    expected = Flash(regions);
  }

  static Bytes Flash(const std::vector<Region>& from) {
    Bytes flash(kDeskFlashSize, 0xFF);
    for (const Region& r : from) {
      if (r.physical >> 24 != 0x1D) continue;
      std::copy(r.bytes.begin(), r.bytes.end(), flash.begin() + (r.physical - 0x1D000000));
    }
    return flash;
  }

  // Starts the simulator as COM1 of the test's port directory.
  void StartSim(std::vector<std::string> args) {
    args.insert(args.end(),
                {"--flash-size", std::to_string(kDeskFlashSize), "--erase-ms", "50", "--link",
                 ports.Entry(1).string(), "--flash-out", dir.File("flash.bin"), "--quiet",
                 "--modem-socket", ModemSocket(), "--log", dir.File("sim.jsonl")});
    ASSERT_TRUE(sim.Start(args));
  }

  std::string ModemSocket() const { return dir.File("modem.sock"); }

  // vestrel-cli with the modem-line shim preloaded (`shim`), through env(1).
  std::vector<std::string> WithShim(std::vector<std::string> args, bool shim = true) const {
    std::string asan = "verify_asan_link_order=0";
    if (const char* old = std::getenv("ASAN_OPTIONS")) asan = std::string(old) + ":" + asan;
    std::vector<std::string> command;
    if (shim) {
      command = {"LD_PRELOAD=" + std::string(VESTREL_MODEM_SHIM),
                 "VESTREL_MODEM_SOCKET=" + ModemSocket(), "ASAN_OPTIONS=" + asan};
    }
    command.push_back(VESTREL_CLI);
    command.insert(command.end(), args.begin(), args.end());
    command.insert(command.end(), {"--progress", "never"});
    return command;
  }

  RunResult Cli(std::vector<std::string> args, bool shim = true) {
    return test::Run("env", WithShim(std::move(args), shim), dir);
  }

  Bytes FlashAfterExit() {
    EXPECT_EQ(sim.Terminate(), 0);
    return ReadBytes(dir.File("flash.bin"));
  }

  TempDir dir;
  testing_support::PortDir ports;
  SimProcess sim;
  // Program flash with a gap, the last page, and boot flash (not the loader's).
  std::vector<Region> regions = {{0x1D000000, Pattern(3000, 1)},
                                 {0x1D000C00, Pattern(100, 2)},
                                 {0x1D003F00, Pattern(256, 3)},
                                 {0x1FC00000, Pattern(32, 9)}};
  std::string hexFile;
  Bytes expected;
};

TEST_F(DeskLoop, ResetIntoTheBootloaderLoadsAndTheResetAfterStartsTheApplication) {
  struct Case {
    std::vector<std::string> wiring;
    std::vector<std::string> options;
  };
  const Case cases[] = {
      {{"--reset-line", "dtr"}, {"--reset", "dtr-pulse"}},
      {{"--reset-line", "rts", "--entry-line", "dtr"},
       {"--reset", "dtr-hold-rts-pulse", "--reset-after"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options[1]);
    StartSim(c.wiring);
    std::vector<std::string> args = {"-f", hexFile, "-c1", "-b7", "-e", "-p"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    const RunResult r = Cli(args);
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_TRUE(Contains(r.out, "Reset (" + c.options[1] + ")...\nBaud Sync...\n")) << r.out;
    EXPECT_EQ(FlashAfterExit(), expected);
    const std::string log = ReadText(dir.File("sim.jsonl"));
    EXPECT_TRUE(Contains(log, "\"event\":\"reset\",\"t\"")) << log;
    EXPECT_TRUE(Contains(log, "\"runs\":\"bootloader\"")) << log;
    EXPECT_EQ(Contains(log, "\"runs\":\"application\""), c.options.size() == 3) << log;
  }
}

TEST_F(DeskLoop, WithoutTheResetTheSyncFailsWithExitOne) {
  StartSim({"--reset-line", "dtr"});
  const RunResult r = Cli({"-f", hexFile, "-c1", "-b7", "-a"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(Contains(r.out, "Baud Sync...\nERROR:  COMM Sync\n")) << r.out;
  EXPECT_TRUE(Contains(r.out, "Summary: file ok, connect failed")) << r.out;
}

TEST_F(DeskLoop, APortWithoutModemLinesCannotReset) {
  StartSim({});
  const RunResult r = Cli({"-c1", "-b7", "--reset", "rts-pulse"}, /*shim=*/false);
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(Contains(r.err, "Port Error: Unable to Reset\n  ")) << r.err;
  EXPECT_TRUE(Contains(r.err, "has no modem lines (DTR and RTS) to reset the board with."))
      << r.err;
}

TEST_F(DeskLoop, WaitLoadsABoardPluggedInWhileItWaits) {
  ChildProcess cli;
  const std::string out = dir.File("cli.out");
  ASSERT_TRUE(cli.Start("/usr/bin/env",
                        WithShim({"-f", hexFile, "-c1", "-b7", "-a", "--wait", "30"}), out,
                        dir.File("cli.err")));
  // The board comes once the loader waits for it, as a user plugs it in.
  ASSERT_TRUE(WaitForText(out, "Waiting for COM1 to appear\n", 10s)) << ReadText(out);
  StartSim({});
  EXPECT_EQ(cli.WaitExit(30s), 0) << ReadText(out) << ReadText(dir.File("cli.err"));
  EXPECT_TRUE(Contains(ReadText(out), "Running Program\n"));
  EXPECT_EQ(FlashAfterExit(), expected);
}

TEST_F(DeskLoop, WaitProbesUntilTheBoardIsResetByHand) {
  StartSim({"--reset-line", "dtr"});
  ChildProcess cli;
  const std::string out = dir.File("cli.out");
  ASSERT_TRUE(cli.Start(VESTREL_CLI, {"-f", hexFile, "-c1", "-b7", "-a", "--wait", "30"}, out,
                        dir.File("cli.err")));
  ASSERT_TRUE(WaitForText(out, "Waiting for the bootloader on COM1: reset the board now\n", 10s))
      << ReadText(out);
  ASSERT_TRUE(PressReset(ModemSocket()));
  EXPECT_EQ(cli.WaitExit(30s), 0) << ReadText(out) << ReadText(dir.File("cli.err"));
  EXPECT_EQ(FlashAfterExit(), expected);
}

TEST_F(DeskLoop, AnElfFileLoadsTheSameFlashAsItsHexTwin) {
  const std::string elf = BuildElf(dir, "app.elf", regions);
  ASSERT_FALSE(elf.empty()) << ReadText(dir.File("app.elf.log"));
  for (const std::string& file : {hexFile, elf}) {
    const RunResult image =
        Cli({"-f", file, "--flash-size", "0x4000", "--image-out", file + ".bin"});
    EXPECT_EQ(image.exitCode, 0) << image.err;
    EXPECT_EQ(ReadBytes(file + ".bin"), expected) << file;
  }
  StartSim({});
  const RunResult r = Cli({"-f", elf, "-c1", "-b7", "-a"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(FlashAfterExit(), expected);
}

TEST_F(DeskLoop, WatchLoadsAgainWhenTheFileChangesUntilCtrlC) {
  StartSim({});
  ChildProcess cli;
  const std::string out = dir.File("cli.out");
  // No run step: a started application would not answer the next load's sync.
  ASSERT_TRUE(cli.Start(VESTREL_CLI,
                        {"-f", hexFile, "-c1", "-b7", "-e", "-p", "--watch", "--progress", "never"},
                        out, dir.File("cli.err")));
  ASSERT_TRUE(WaitForText(out, "Watching " + hexFile + " for changes (Ctrl-C ends)\n", 20s))
      << ReadText(out);
  const std::vector<Region> rebuilt = {{0x1D000000, Pattern(5000, 7)}};
  dir.Write("app.hex", RegionsHex(rebuilt));
  ASSERT_TRUE(WaitForText(out, "Watching ", 20s, 2)) << ReadText(out);
  cli.Signal(SIGINT);
  EXPECT_EQ(cli.WaitExit(10s), 0) << ReadText(dir.File("cli.err"));
  const std::string text = ReadText(out);
  EXPECT_TRUE(Contains(text, hexFile + " changed: loading it again\n")) << text;
  EXPECT_TRUE(Contains(text, "Stopped watching " + hexFile + "\n")) << text;
  EXPECT_EQ(FlashAfterExit(), Flash(rebuilt));
}

}  // namespace
}  // namespace vestrel::test
