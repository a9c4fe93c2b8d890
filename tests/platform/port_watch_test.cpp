// Which ports of a watched folder are there, and that a wait ends when one comes (inotify) or
// when udev reports a tty device (where a udev daemon runs).
#include "platform/port_watch.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "tests/support/hex_text.h"
#include "tests/support/pty_pair.h"

namespace vestrel::platform {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// Far beyond how long an event takes to arrive: only a wait that missed it runs into it.
constexpr auto kMissedEvent = 20s;

TEST(PortWatch, OnlyEntriesThatLeadToATerminalArePresent) {
  test::TempDir dir;
  testing_support::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  auto watch = WatchPorts({dir.Path().string()});
  fs::create_symlink(pty.SlavePath(), dir.Path() / "com1");
  fs::create_symlink(dir.File("nowhere"), dir.Path() / "com2");
  dir.Write("com3", "rfc2217://127.0.0.1:3001\n");
  const auto before = std::chrono::steady_clock::now();
  watch->Wait(kMissedEvent);  // the new entries are events already
  EXPECT_LT(std::chrono::steady_clock::now() - before, kMissedEvent);
  EXPECT_EQ(PresentPorts({dir.Path().string()}), std::vector<std::string>{dir.File("com1")});
  EXPECT_EQ(PresentPorts({dir.File("com*")}), std::vector<std::string>{dir.File("com1")});
  EXPECT_NE(watch->Method().find("inotify"), std::string::npos);
}

TEST(PortWatch, AUdevEventForATtyEndsTheWait) {
  if (!fs::exists("/run/udev/control") || geteuid() != 0)
    GTEST_SKIP() << "no udev daemon here (or not root to make it announce a tty device)";
  auto watch = WatchPorts({"/dev/ttyS*"});
  ASSERT_NE(watch->Method().find("udev"), std::string::npos);
  std::ofstream("/sys/class/tty/tty0/uevent") << "change\n";
  const auto before = std::chrono::steady_clock::now();
  watch->Wait(kMissedEvent);
  EXPECT_LT(std::chrono::steady_clock::now() - before, kMissedEvent);
}

}  // namespace
}  // namespace vestrel::platform
