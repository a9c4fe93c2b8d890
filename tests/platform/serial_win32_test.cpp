// The Win32 serial device. The tests on a real line need a COM port with the simulated
// bootloader behind it: scripts/test-windows maps one to a pseudo-terminal under Wine and names
// it in VESTREL_TEST_COM (a port number). Without it those tests are skipped.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "platform/port_map.h"
#include "platform/serial_device.h"
#include "tests/support/hex_text.h"

namespace vestrel::platform {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

using Opener = OpenResult (*)(const std::string&);
const Opener kOpeners[] = {OpenSerialDevice, OpenSerialDeviceSynchronous};

// (Not named "com1": that name means the device COM1 in every folder.)
TEST(Win32SerialOpen, FileGivenAsTheDeviceIsNeitherKeptOpenNorWritten) {
  test::TempDir dir;
  const std::string path = dir.Write("port.bin", "firmware");
  for (Opener open : kOpeners) {
    const OpenResult r = open(path);
    EXPECT_EQ(r.status, OpenStatus::NotASerialDevice);
    EXPECT_EQ(r.device, nullptr);
  }
  EXPECT_EQ(test::ReadBytes(path), (Bytes{'f', 'i', 'r', 'm', 'w', 'a', 'r', 'e'}));
  EXPECT_EQ(ClassifyPort(path), PortState::Absent);
}

TEST(Win32SerialOpen, AbsentPortIsNotFoundWithTheSystemsText) {
  for (Opener open : kOpeners) {
    const OpenResult r = open("\\\\.\\COM251");
    EXPECT_EQ(r.status, OpenStatus::NotFound);
    EXPECT_NE(r.error, 0);
    EXPECT_FALSE(r.text.empty());
    EXPECT_EQ(r.text.find("error "), std::string::npos) << r.text;  // a text, not a bare code
    EXPECT_NE(r.text.back(), '.') << r.text;                        // callers end the sentence
  }
  EXPECT_EQ(ClassifyPort("\\\\.\\COM251"), PortState::Absent);
}

// --- On a COM port with the simulated bootloader behind it -------------------------------------

std::optional<std::string> TestPort() {
  const char* number = std::getenv("VESTREL_TEST_COM");
  if (number == nullptr || *number == '\0') return std::nullopt;
  return PortMap::FromEnvironment().DevicePath(static_cast<unsigned>(std::atoi(number)));
}

DCB LoaderLine(std::uint32_t rate) {
  DCB dcb{};
  dcb.BaudRate = rate;
  dcb.fBinary = 1;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fDtrControl = DTR_CONTROL_DISABLE;
  dcb.fRtsControl = RTS_CONTROL_DISABLE;
  return dcb;
}

class Win32SerialPort : public testing::TestWithParam<Opener> {
 protected:
  void SetUp() override {
    const std::optional<std::string> path = TestPort();
    if (!path) GTEST_SKIP() << "no VESTREL_TEST_COM port (scripts/test-windows provides one)";
    path_ = *path;
    OpenResult r = GetParam()(path_);
    ASSERT_EQ(r.status, OpenStatus::Opened) << path_ << ": " << r.text;
    device_ = std::move(r.device);
    ASSERT_TRUE(device_->SetCommState(LoaderLine(115200)).ok());
    ASSERT_TRUE(device_->Purge(PURGE_RXCLEAR | PURGE_TXCLEAR).ok());
  }

  void SetReadTimeouts(std::uint32_t interval, std::uint32_t multiplier, std::uint32_t constant) {
    COMMTIMEOUTS t{};
    ASSERT_TRUE(device_->GetCommTimeouts(t).ok());
    t.ReadIntervalTimeout = interval;
    t.ReadTotalTimeoutMultiplier = multiplier;
    t.ReadTotalTimeoutConstant = constant;
    ASSERT_TRUE(device_->SetCommTimeouts(t).ok());
  }

  // A lone 0x55 is a sync probe, which the simulated bootloader answers with one byte.
  void Probe() {
    const std::uint8_t probe = 0x55;
    const SerialResult w = device_->Write(std::span<const std::uint8_t>(&probe, 1));
    ASSERT_TRUE(w.ok()) << w.text;
    EXPECT_EQ(w.count, 1u);
    ASSERT_TRUE(device_->Drain(std::chrono::seconds(1)).ok());
  }

  std::string path_;
  std::unique_ptr<SerialDevice> device_;
};

TEST_P(Win32SerialPort, SecondOpenerIsRefusedAsBusyUntilTheFirstLetsGo) {
  for (Opener open : kOpeners) EXPECT_EQ(open(path_).status, OpenStatus::Busy);
  EXPECT_EQ(ClassifyPort(path_), PortState::Busy);
  device_.reset();
  EXPECT_EQ(ClassifyPort(path_), PortState::Usable);
}

TEST_P(Win32SerialPort, LineSettingsAndTimeoutsReadBackAsSet) {
  DCB dcb{};
  ASSERT_TRUE(device_->GetCommState(dcb).ok());
  EXPECT_EQ(dcb.BaudRate, 115200u);
  EXPECT_EQ(dcb.ByteSize, 8);
  EXPECT_EQ(dcb.Parity, NOPARITY);
  EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
  EXPECT_EQ(dcb.fOutX | dcb.fInX | dcb.fOutxCtsFlow, 0);

  SetReadTimeouts(MAXDWORD, MAXDWORD, 100);
  COMMTIMEOUTS t{};
  ASSERT_TRUE(device_->GetCommTimeouts(t).ok());
  EXPECT_EQ(t.ReadIntervalTimeout, MAXDWORD);
  EXPECT_EQ(t.ReadTotalTimeoutMultiplier, MAXDWORD);
  EXPECT_EQ(t.ReadTotalTimeoutConstant, 100u);
}

// The loader's read: the answer as soon as it is there, nothing once the line is quiet.
TEST_P(Win32SerialPort, ProbeIsAnsweredAndAQuietLineReadsNothing) {
  SetReadTimeouts(MAXDWORD, MAXDWORD, 100);
  Probe();
  std::uint8_t answer = 0;
  SerialResult r = device_->Read(std::span<std::uint8_t>(&answer, 1));
  ASSERT_TRUE(r.ok()) << r.text;
  EXPECT_EQ(r.count, 1u);
  r = device_->Read(std::span<std::uint8_t>(&answer, 1));
  ASSERT_TRUE(r.ok()) << r.text;
  EXPECT_EQ(r.count, 0u);
}

TEST_P(Win32SerialPort, WaitReadableEndsWithTheAnswerOrTheLimit) {
  const SerialResult quiet = device_->WaitReadable(50ms);
  EXPECT_EQ(quiet.status, SerialStatus::TimedOut) << quiet.error << " " << quiet.text;
  Probe();
  const SerialResult waited = device_->WaitReadable(5s);
  ASSERT_TRUE(waited.ok()) << waited.text;
  SetReadTimeouts(MAXDWORD, 0, 0);  // what is there, at once
  std::uint8_t answer = 0;
  EXPECT_EQ(device_->Read(std::span<std::uint8_t>(&answer, 1)).count, 1u);
}

// Modem lines may be missing (a pseudo-terminal under Wine answers error 50): never a failure.
TEST_P(Win32SerialPort, ModemLinesWorkOrAreUnsupported) {
  for (const SerialResult& r : {device_->SetDtr(false), device_->SetRts(false)})
    EXPECT_TRUE(r.ok() || r.status == SerialStatus::Unsupported) << r.error << " " << r.text;
  LineErrorCounters counters;
  EXPECT_TRUE(device_->GetLineErrorCounters(counters).ok());
}

INSTANTIATE_TEST_SUITE_P(OverlappedAndSynchronous, Win32SerialPort, testing::ValuesIn(kOpeners),
                         [](const testing::TestParamInfo<Opener>& info) {
                           return info.index == 0 ? "Overlapped" : "Synchronous";
                         });

}  // namespace
}  // namespace vestrel::platform
