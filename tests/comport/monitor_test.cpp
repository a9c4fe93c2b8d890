// vestrel-cli's serial monitor on a pseudo-terminal and against the simulated bootloader.
#include "app/cli/monitor.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/cli/image_export.h"  // exit codes
#include "platform/serial_device.h"
#include "protocol/frame.h"
#include "tests/support/pty_pair.h"

extern char** environ;

namespace vestrel::cli {
namespace {

using namespace std::chrono_literals;
using testing_support::PtyPair;
using Bytes = std::vector<std::uint8_t>;

Bytes BytesOf(const std::string& text) {
  return {text.begin(), text.end()};
}

TEST(Monitor, PrintsWhatTheTargetSendsAndSendsItsInput) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  ASSERT_TRUE(pty.Send(BytesOf("hello from the target\n")));
  std::istringstream in("ping\nlast");
  std::ostringstream out, err;
  EXPECT_EQ(RunMonitor({pty.SlavePath(), 1, 115200, 2}, in, out, err), kExitOk);
  EXPECT_EQ(out.str(), "hello from the target\n");
  EXPECT_EQ(pty.Received(300ms), BytesOf("ping\nlast"));
  EXPECT_NE(err.str().find("Monitoring " + pty.SlavePath() + " at 115200 baud"), std::string::npos);
}

TEST(Monitor, ALineThatHangsUpEndsItWithExitCodeOne) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  ASSERT_TRUE(pty.Send(BytesOf("last words\n")));
  std::thread pull([&pty] {
    pty.WaitUntilOpenedAndRead(10s);  // the monitor has shown the text then
    pty.CloseMaster();                // the adapter is pulled
  });
  std::istringstream in;
  std::ostringstream out, err;
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(RunMonitor({pty.SlavePath(), 1, 115200, 30}, in, out, err), kExitFailure);
  pull.join();
  EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);  // not the 30 s it was given
  EXPECT_EQ(out.str(), "last words\n");
  EXPECT_NE(
      err.str().find("[The serial device " + pty.SlavePath() + " went away (adapter unplugged?).]"),
      std::string::npos)
      << err.str();
}

TEST(Monitor, RefusesOptionsOutOfRangeAndReportsAPortItCannotOpen) {
  std::istringstream in;
  std::ostringstream out, err;
  EXPECT_EQ(RunMonitor({"", 1, 14400, 1}, in, out, err), kExitUsage);
  EXPECT_EQ(RunMonitor({"", 0, 115200, 1}, in, out, err), kExitUsage);
  EXPECT_EQ(RunMonitor({"", 257, 115200, 1}, in, out, err), kExitUsage);
  EXPECT_EQ(RunMonitor({"/nonexistent/tty", 1, 115200, 1}, in, out, err), kExitFailure);
  EXPECT_NE(err.str().find("cannot open /nonexistent/tty"), std::string::npos);

  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  auto holder = platform::OpenSerialDevice(pty.SlavePath());
  ASSERT_EQ(holder.status, platform::OpenStatus::Opened);
  EXPECT_EQ(RunMonitor({pty.SlavePath(), 1, 9600, 1}, in, out, err), kExitFailure);
  EXPECT_NE(err.str().find("another program holds it"), std::string::npos);
  EXPECT_TRUE(out.str().empty());
}

extern "C" void IgnoreInterrupt(int) {}

TEST(Monitor, CtrlCEndsIt) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  // Interrupts that come before the monitor has its handler must not end the test program.
  struct sigaction ignore {
  }, previous{};
  ignore.sa_handler = IgnoreInterrupt;
  sigemptyset(&ignore.sa_mask);
  ASSERT_EQ(sigaction(SIGINT, &ignore, &previous), 0);

  std::istringstream in;
  std::ostringstream out, err;
  std::atomic<bool> done{false};
  std::thread interrupter([&] {
    for (int i = 0; i < 100 && !done; ++i) {
      std::this_thread::sleep_for(50ms);
      ::kill(::getpid(), SIGINT);
    }
  });
  const int code = RunMonitor({pty.SlavePath(), 1, 115200, 30}, in, out, err);
  done = true;
  interrupter.join();
  sigaction(SIGINT, &previous, nullptr);
  EXPECT_EQ(code, kExitOk);
  EXPECT_NE(err.str().find("[interrupted]"), std::string::npos);
}

// The simulator as a child process; killed if it is still running at the end.
class SimProcess {
 public:
  ~SimProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (stdout_ >= 0) ::close(stdout_);
  }

  // Starts it and returns the device path from its first output line.
  std::optional<std::string> Start(std::vector<std::string> args) {
    args.insert(args.begin(), VESTREL_SIM_BINARY);
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return std::nullopt;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    stdout_ = fds[0];
    if (rc != 0) {
      pid_ = -1;
      return std::nullopt;
    }
    std::string line;
    char c = 0;
    while (line.empty() || line.back() != '\n') {
      if (!PtyPair::WaitFor(stdout_, POLLIN, 5s) || ::read(stdout_, &c, 1) != 1)
        return std::nullopt;
      line += c;
    }
    line.pop_back();
    return line;
  }

 private:
  pid_t pid_ = -1;
  int stdout_ = -1;
};

TEST(Monitor, ShowsWhatTheStartedApplicationSends) {
  SimProcess sim;
  const std::optional<std::string> path = sim.Start({"--app-text", "hello", "--quiet"});
  ASSERT_TRUE(path);

  // The start application request, typed as it goes on the wire.
  const Bytes frame = protocol::EncodeFrame(Bytes{0x00, 0x00, 0x00, 0x00});
  std::istringstream in(std::string(frame.begin(), frame.end()));
  std::ostringstream out, err;
  EXPECT_EQ(RunMonitor({*path, 1, 115200, 2}, in, out, err), kExitOk);
  EXPECT_EQ(out.str(), "hello");
}

}  // namespace
}  // namespace vestrel::cli
