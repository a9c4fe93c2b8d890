// The port component on Windows: messages to an owner window through PostMessageA, and the
// component on a COM port with the simulated bootloader behind it, which scripts/test-windows
// provides under Wine (VESTREL_TEST_COM names the port number; without it those tests skip).
// <windows.h> after the component's headers (see v24_window_target.cpp).
// clang-format off
#include "comport/comport.h"
#include "comport/v24_window_target.h"
#include <windows.h>
// clang-format on

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <optional>

#include "tests/support/hex_text.h"

namespace vestrel::comport {
namespace {

using namespace std::chrono_literals;

// A message-only window of the test's thread, as an owner of the component would have.
class MessageWindow {
 public:
  MessageWindow() {
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = DefWindowProcA;
    windowClass.hInstance = ::GetModuleHandleA(nullptr);
    windowClass.lpszClassName = kClassName;
    ::RegisterClassA(&windowClass);  // fails harmlessly when a previous test registered it
    window_ = ::CreateWindowExA(0, kClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                windowClass.hInstance, nullptr);
  }
  ~MessageWindow() {
    if (window_) ::DestroyWindow(window_);
  }
  MessageWindow(const MessageWindow&) = delete;
  MessageWindow& operator=(const MessageWindow&) = delete;

  HWND Handle() const { return window_; }

  // The next component message posted to the window, waiting up to `limit`.
  std::optional<MSG> Take(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      MSG msg{};
      if (::PeekMessageA(&msg, window_, WM_APP, 0xBFFF, PM_REMOVE)) return msg;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left <= 0ms) return std::nullopt;
      ::MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(left.count()),
                                  QS_POSTMESSAGE);
    }
  }

 private:
  static constexpr const char* kClassName = "VestrelTestOwner";
  HWND window_ = nullptr;
};

TEST(V24WindowTarget, PostsTheMessageToTheWindow) {
  MessageWindow owner;
  ASSERT_NE(owner.Handle(), nullptr) << "CreateWindowExA: " << ::GetLastError();
  V24WindowTarget target(owner.Handle());
  EXPECT_TRUE(target.Post(WM_V24_FRAME, 12, 0));
  const std::optional<MSG> msg = owner.Take(1s);
  ASSERT_TRUE(msg);
  EXPECT_EQ(msg->message, WM_V24_FRAME);
  EXPECT_EQ(msg->wParam, 12u);
  EXPECT_EQ(msg->lParam, 0);
}

TEST(V24WindowTarget, PostToAWindowThatIsGoneFails) {
  HWND gone = nullptr;
  {
    MessageWindow owner;
    gone = owner.Handle();
  }
  EXPECT_FALSE(V24WindowTarget(gone).Post(WM_V24_RXCHAR, 1, 0));
}

// --- On a COM port with the simulated bootloader behind it -------------------------------------

std::optional<int> TestPortIndex() {
  const char* number = std::getenv("VESTREL_TEST_COM");
  if (number == nullptr || *number == '\0') return std::nullopt;
  return std::atoi(number) - 1;
}

std::vector<int> Table(const TComPort& port, bool useable) {
  std::vector<int> entries;
  const int count = useable ? port.GetMaxV24Useable() : port.GetMaxV24Devices();
  for (int i = 0; i < count; ++i)
    entries.push_back(useable ? port.Get_UseableV24(i) : port.Get_DeviceV24(i));
  return entries;
}

bool Contains(const std::vector<int>& entries, int index) {
  return std::find(entries.begin(), entries.end(), index) != entries.end();
}

class TComPortWin32 : public testing::Test {
 protected:
  void SetUp() override {
    const std::optional<int> index = TestPortIndex();
    if (!index) GTEST_SKIP() << "no VESTREL_TEST_COM port (scripts/test-windows provides one)";
    index_ = *index;
    ASSERT_NE(owner_.Handle(), nullptr);
  }

  int index_ = 0;
  MessageWindow owner_;
  V24WindowTarget target_{owner_.Handle()};
};

TEST_F(TComPortWin32, OpenPortIsListedAsExistingButNotUsableByAnotherScan) {
  TComPort port;
  ASSERT_TRUE(Contains(Table(port, true), index_));
  ASSERT_NE(port.Open(&target_, index_, false), INVALID_HANDLE_VALUE);
  TComPort other;
  EXPECT_TRUE(Contains(Table(other, false), index_));
  EXPECT_FALSE(Contains(Table(other, true), index_));
  port.Close();
  other.Check_AllV24();
  EXPECT_TRUE(Contains(Table(other, true), index_));
}

// The reader thread's notification reaches the owner window; the owner then reads the bytes.
TEST_F(TComPortWin32, ArrivingBytesArePostedToTheOwnerWindowAndRead) {
  TComPort port;
  ASSERT_NE(port.Open(&target_, index_, false), INVALID_HANDLE_VALUE);
  port.TXSuspend();                            // until the writer takes blocks
  ASSERT_EQ(port.Write("\x55", 1, false), 1);  // a sync probe, which the bootloader answers
  const std::optional<MSG> msg = owner_.Take(10s);
  ASSERT_TRUE(msg) << "no message from the reader thread";
  EXPECT_EQ(msg->message, WM_V24_RXCHAR);
  EXPECT_EQ(msg->wParam, static_cast<WPARAM>(index_ + 1));
  EXPECT_EQ(msg->lParam, 0);
  char answer[2] = {0, 1};
  EXPECT_EQ(port.Read(answer, 1), 1);
  EXPECT_EQ(answer[0], 0x55);
  EXPECT_EQ(answer[1], 0);  // KeinString off: a zero follows the data
  port.Close();
}

TEST_F(TComPortWin32, SettingsFileIsCreatedAndNamesThePortOpened) {
  test::TempDir dir;
  const std::string file = dir.File("ComData.cfg");
  TComPort port;
  port.SetStreamOn(true);
  port.SetDatei(file);
  ASSERT_NE(port.Open(&target_, index_, false), INVALID_HANDLE_VALUE);
  port.Close();
  const test::Bytes bytes = test::ReadBytes(file);
  ASSERT_EQ(bytes.size(), kV24ParameterSize);
  EXPECT_EQ(bytes[16], index_);
  EXPECT_EQ(bytes[0], D_8);
  EXPECT_EQ(bytes[3], B__4800);
}

}  // namespace
}  // namespace vestrel::comport
