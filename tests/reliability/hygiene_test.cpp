// Resource hygiene in one process: many connects and closes and many complete loads of the
// loader, through the real serial link against the simulator, and many opens and closes of the
// port component with its threads and settings file, leave no file descriptor and no thread
// behind. Memory is the leak sanitizer's part (the asan build runs these tests too).
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "app/loader.h"
#include "comport/comport.h"
#include "protocol/serial_loader_link.h"
#include "tests/support/hex_text.h"
#include "tests/support/port_dir.h"
#include "tests/support/recording_view.h"
#include "tests/support/sim_process.h"
#include "tests/support/step_outcome.h"

namespace vestrel::test {
namespace {

constexpr std::uint32_t kFlashSize = 0x4000;

std::size_t Entries(const char* directory) {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(directory)) ++n;
  return n;
}

std::size_t OpenDescriptors() {
  return Entries("/proc/self/fd");
}
std::size_t Threads() {
  return Entries("/proc/self/task");
}

// A joined thread can stay listed for a moment while the kernel finishes its exit, longer on a
// busy machine; a thread left running never lets the count come to `expected`. Waits for it
// within a bound and returns the count then.
std::size_t ThreadsOnceSettled(std::size_t expected) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (Threads() != expected && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return Threads();
}

class Hygiene : public testing::Test {
 protected:
  void SetUp() override {
    device_ =
        sim_.Start({"--flash-size", std::to_string(kFlashSize), "--erase-ms", "20", "--quiet"});
    ASSERT_TRUE(device_);
    HexText hex;
    hex.Data(0x1D000000, Pattern(5000, 3)).End();
    hexFile_ = dir_.Write("app.hex", hex.Text());
  }

  // A loader on a link of its own, pointed at the simulator.
  struct Session {
    explicit Session(const std::string& device)
        : link(view), loader(view, link, [](unsigned) { return std::string(); }) {
      loader.OverridePort(protocol::PortTarget{"COM1", device});
      loader.OverrideBaudRate(115200);
    }
    RecordingView view;
    protocol::SerialLoaderLink link;
    app::Loader loader;
  };

  SimProcess sim_;
  std::optional<std::string> device_;
  TempDir dir_;
  std::string hexFile_;
};

// A descriptor or thread left behind by a connect shows at its first cycle; fifty cycles take
// each way of closing (by the link, by the destructors) often enough, in under two seconds.
TEST_F(Hygiene, FiftyConnectsAndClosesLeaveNoDescriptorOrThread) {
  {
    Session warmUp(*device_);
    warmUp.loader.ConnectSpeedButtonClick();
  }
  const std::size_t fds = OpenDescriptors();
  const std::size_t threads = Threads();
  for (int cycle = 0; cycle < 50; ++cycle) {
    Session s(*device_);
    s.loader.ConnectSpeedButtonClick();
    ASSERT_TRUE(test::Ok(s.loader, app::Step::Connect))
        << "cycle " << cycle << ": " << s.view.Info();
    ASSERT_EQ(OpenDescriptors(), fds + 1) << "the open port is one descriptor";
    if (cycle % 2 == 0) s.link.ClosePort();  // else the destructors close it
  }
  EXPECT_EQ(OpenDescriptors(), fds);
  EXPECT_EQ(ThreadsOnceSettled(threads), threads);
}

TEST_F(Hygiene, FiftyLoadsLeaveNoDescriptorOrThread) {
  const std::size_t fds = OpenDescriptors();
  const std::size_t threads = Threads();
  for (int load = 0; load < 50; ++load) {
    Session s(*device_);
    s.loader.LoadHexFile(hexFile_);
    s.loader.ConnectSpeedButtonClick();
    s.loader.EraseSpeedButtonClick();
    s.loader.ProgramSpeedButtonClick();
    using app::Step;
    ASSERT_TRUE(test::Ok(s.loader, Step::File) && test::Ok(s.loader, Step::Connect) &&
                test::Ok(s.loader, Step::Erase) && test::Ok(s.loader, Step::Program) &&
                test::Ok(s.loader, Step::Verify))
        << "load " << load << ": " << testing::PrintToString(s.view.MessageHeads());
  }
  EXPECT_EQ(OpenDescriptors(), fds);
  EXPECT_EQ(ThreadsOnceSettled(threads), threads);
}

// Each Close waits for the reader's event wait of up to a second to end, so fewer cycles here.
TEST_F(Hygiene, ComponentOpensAndClosesLeaveNoDescriptorOrThread) {
  testing_support::PortDir ports;
  ports.Link(1, *device_);
  const std::string settings = dir_.File("ComData.cfg");
  comport::TComPort port;  // scans the port directory above
  comport::V24MessageQueue queue;
  const std::size_t fds = OpenDescriptors();
  const std::size_t threads = Threads();
  for (int cycle = 0; cycle < 10; ++cycle) {
    port.SetStreamOn(cycle % 2 == 0);  // every other open reads and writes the settings file
    port.SetDatei(settings);
    ASSERT_NE(port.Open(&queue, 0, false), comport::INVALID_HANDLE_VALUE) << "cycle " << cycle;
    // The previous cycle's joined threads may still be listed for a moment.
    ASSERT_EQ(ThreadsOnceSettled(threads + 2), threads + 2) << "a reader and a writer while open";
    port.Close();
  }
  EXPECT_EQ(OpenDescriptors(), fds);
  EXPECT_EQ(ThreadsOnceSettled(threads), threads);
}

}  // namespace
}  // namespace vestrel::test
