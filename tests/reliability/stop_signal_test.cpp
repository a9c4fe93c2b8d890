// Signals and closed pipes during a load with vestrel-cli: the load stops between two requests,
// the port is closed with its line settings put back, and the exit code says why.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <string>
#include <thread>

#include "platform/serial_device.h"
#include "tests/cli/run_program.h"
#include "tests/reliability/child_process.h"
#include "tests/support/hex_text.h"
#include "tests/support/port_dir.h"
#include "tests/support/sim_process.h"

namespace vestrel::test {
namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t kStoppedFlashSize = 0x8000;

speed_t LineSpeed(const std::string& device) {
  const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  termios tio{};
  if (fd < 0 || ::tcgetattr(fd, &tio) != 0) return B0;
  ::close(fd);
  return ::cfgetospeed(&tio);
}

class StopDuringLoad : public testing::Test {
 protected:
  void SetUp() override {
    hexFile_ = dir_.Write("app.hex",
                          HexText().Data(0x1D000000, Pattern(kStoppedFlashSize, 5)).End().Text());
  }

  void StartSim(std::vector<std::string> args) {
    args.insert(args.end(), {"--flash-size", std::to_string(kStoppedFlashSize), "--link",
                             ports_.Entry(1).string(), "--log", dir_.File("sim.jsonl"), "--quiet"});
    const auto device = sim_.Start(args);
    ASSERT_TRUE(device);
    device_ = *device;
  }

  std::size_t ProgramRequests() {
    const std::string log = ReadText(dir_.File("sim.jsonl"));
    std::size_t count = 0;
    for (auto at = log.find("\"name\":\"program\""); at != std::string::npos;
         at = log.find("\"name\":\"program\"", at + 1))
      ++count;
    return count;
  }

  // Waits, bounded, until the simulator has seen more program requests than `before`.
  bool ProgrammingGoesOn(std::size_t before) {
    for (int i = 0; i < 400 && ProgramRequests() <= before; ++i) std::this_thread::sleep_for(25ms);
    return ProgramRequests() > before;
  }

  TempDir dir_;
  testing_support::PortDir ports_;
  SimProcess sim_;
  std::string hexFile_;
  std::string device_;
};

TEST_F(StopDuringLoad, SignalsStopTheLoadAndRestoreThePort) {
  // Paced at the line's rate, the load lasts seconds: long enough to be stopped in the middle.
  StartSim({"--pace-baud", "115200"});
  const speed_t before = LineSpeed(device_);
  for (const auto& [signal, code, reason] :
       {std::tuple{SIGTERM, 143, "Stopped by SIGTERM."},
        std::tuple{SIGINT, 130, "Stopped by Ctrl-C (SIGINT)."}}) {
    SCOPED_TRACE(reason);
    const std::size_t programmed = ProgramRequests();
    ChildProcess cli;
    ASSERT_TRUE(cli.Start(VESTREL_CLI, {"-f", hexFile_, "-c1", "-b7", "-a", "--progress", "never"},
                          dir_.File("out.txt"), dir_.File("err.txt")));
    ASSERT_TRUE(ProgrammingGoesOn(programmed));
    cli.Signal(signal);
    EXPECT_EQ(cli.WaitExit(10s), code);  // a hang guard, not a speed goal
    const std::string err = ReadText(dir_.File("err.txt"));
    EXPECT_NE(err.find(std::string("vestrel-cli: ") + reason +
                       " The port is closed with its settings restored."),
              std::string::npos)
        << err;
    EXPECT_EQ(LineSpeed(device_), before);  // not left at the load's 115200 baud
    // Regression: the summary said "exit code 1" while the process returned 143.
    const std::string out = ReadText(dir_.File("out.txt"));
    EXPECT_NE(out.find("; exit code " + std::to_string(code) + "\n"), std::string::npos) << out;
  }
}

// Regression: SIGTERM killed the monitor with its port still marked exclusive, so that every
// later opener found it busy.
TEST_F(StopDuringLoad, SignalsEndTheMonitorAndReleaseThePort) {
  StartSim({});
  for (const auto& [signal, code, note] : {std::tuple{SIGTERM, 143, "[Stopped by SIGTERM.]"},
                                           std::tuple{SIGINT, 0, "[interrupted]"}}) {
    SCOPED_TRACE(note);
    ChildProcess cli;
    const std::string err = dir_.File("err.txt");
    ASSERT_TRUE(cli.Start(VESTREL_CLI, {"-c1", "-b7", "--monitor"}, dir_.File("out.txt"), err));
    for (int i = 0; i < 500 && ReadText(err).find("Monitoring COM1") == std::string::npos; ++i)
      std::this_thread::sleep_for(20ms);
    ASSERT_NE(ReadText(err).find("Monitoring COM1"), std::string::npos) << ReadText(err);
    cli.Signal(signal);
    EXPECT_EQ(cli.WaitExit(10s), code);  // a hang guard, not a speed goal
    EXPECT_NE(ReadText(err).find(std::string(note) + "\n"), std::string::npos) << ReadText(err);
    EXPECT_EQ(platform::OpenSerialDevice(device_).status, platform::OpenStatus::Opened);
  }
}

// Regression: `vestrel-cli ... | head` killed the load at its first line of output.
TEST_F(StopDuringLoad, AClosedOutputPipeDoesNotStopTheLoad) {
  StartSim({});
  const RunResult r = test::Run(
      "/bin/bash",
      {"-c", "set -o pipefail; \"$0\" -f \"$1\" -c1 -b7 -a | head -c 0", VESTREL_CLI, hexFile_},
      dir_);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  ASSERT_EQ(sim_.Terminate(), 0);
  EXPECT_NE(ReadText(dir_.File("sim.jsonl")).find("\"name\":\"start-application\""),
            std::string::npos);
}

}  // namespace
}  // namespace vestrel::test
