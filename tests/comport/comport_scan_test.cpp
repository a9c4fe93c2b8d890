#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <vector>

#include "comport/comport.h"
#include "platform/serial_device.h"
#include "tests/comport/fake_port_fixture.h"
#include "tests/support/port_dir.h"
#include "tests/support/pty_pair.h"

namespace vestrel::comport {
namespace {

using testing_support::PortDir;
using testing_support::PtyPair;

std::vector<int> Devices(const TComPort& port) {
  std::vector<int> v;
  for (int i = 0; i < port.GetMaxV24Devices(); ++i) v.push_back(port.Get_DeviceV24(i));
  return v;
}

std::vector<int> Useable(const TComPort& port) {
  std::vector<int> v;
  for (int i = 0; i < port.GetMaxV24Useable(); ++i) v.push_back(port.Get_UseableV24(i));
  return v;
}

// COM1, COM3 and COM12 free, COM2 held by another opener, COM5 a regular file, COM7 a link to
// nothing.
class PortScan : public testing::Test {
 protected:
  void SetUp() override {
    for (const PtyPair* p : {&com1, &com2, &com3, &com12}) ASSERT_TRUE(p->ok());
    dir.Link(1, com1.SlavePath());
    dir.Link(2, com2.SlavePath());
    dir.Link(3, com3.SlavePath());
    dir.Link(12, com12.SlavePath());
    std::ofstream(dir.Entry(5)) << "not a port";
    dir.Link(7, (dir.path() / "unplugged").string());
    holder = platform::OpenSerialDevice(com2.SlavePath());
    ASSERT_EQ(holder.status, platform::OpenStatus::Opened);
  }

  PortDir dir;
  PtyPair com1, com2, com3, com12;
  platform::OpenResult holder;
};

TEST_F(PortScan, ClassifiesUsableBusyAndAbsentPorts) {
  TComPort port;  // the constructor scans
  EXPECT_EQ(Devices(port), (std::vector<int>{0, 1, 2, 11}));
  EXPECT_EQ(Useable(port), (std::vector<int>{0, 2, 11}));
  EXPECT_EQ(port.Get_UseableV24(1), 2);  // shown as Com3

  // A file in the port directory is neither listed nor written.
  std::ifstream in(dir.Entry(5));
  std::string content;
  std::getline(in, content);
  EXPECT_EQ(content, "not a port");
  EXPECT_EQ(std::filesystem::file_size(dir.Entry(5)), 10u);
}

TEST_F(PortScan, PositionsPastTheCountOrOutsideTheTableReadZero) {
  TComPort port;
  ASSERT_EQ(port.GetMaxV24Useable(), 3);
  EXPECT_EQ(port.Get_UseableV24(3), 0);
  EXPECT_EQ(port.Get_DeviceV24(4), 0);
  EXPECT_EQ(port.Get_DeviceV24(256), 0);
  for (int outside : {-1, 257, 100000}) {
    EXPECT_EQ(port.Get_DeviceV24(outside), 0);
    EXPECT_EQ(port.Get_UseableV24(outside), 0);
  }
}

TEST_F(PortScan, RescanDropsVanishedPortsWithoutStaleEntries) {
  TComPort port;
  ASSERT_EQ(port.GetMaxV24Devices(), 4);
  std::filesystem::remove(dir.Entry(1));
  holder.device.reset();  // COM2 becomes free

  port.Check_AllV24();
  EXPECT_EQ(Devices(port), (std::vector<int>{1, 2, 11}));
  EXPECT_EQ(Useable(port), (std::vector<int>{1, 2, 11}));
  EXPECT_EQ(port.Get_DeviceV24(3), 0);
  EXPECT_EQ(port.Get_UseableV24(3), 0);
}

TEST(PortScanEmpty, NoPortsGiveZeroCounts) {
  PortDir dir;
  TComPort port;
  EXPECT_EQ(port.GetMaxV24Devices(), 0);
  EXPECT_EQ(port.GetMaxV24Useable(), 0);
  EXPECT_EQ(port.Get_UseableV24(0), 0);
}

TEST(V24PortName, DisplayNameAndDevicePath) {
  EXPECT_EQ(V24PortName(3, true), "COM3");
  EXPECT_EQ(V24PortName(3, false), "\\\\.\\COM3");
  EXPECT_EQ(V24PortName(12, false), "\\\\.\\COM12");
  EXPECT_EQ(V24PortName(256, true), "COM256");
  // Each call has its own result (no shared buffer that the next call overwrites).
  const std::string first = V24PortName(1, true);
  const std::string second = V24PortName(2, true);
  EXPECT_EQ(first, "COM1");
  EXPECT_EQ(second, "COM2");
}

}  // namespace
}  // namespace vestrel::comport

// AutoSearch walks the table of existing ports that the scan made; the opens go to fake lines.
namespace vestrel::comport::fakes {
namespace {

// COM1 absent; COM3 and COM5 exist, so the table of existing ports is {2, 4}.
class AutoSearchTest : public FakePortTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(com3.ok() && com5.ok());
    dir.Link(3, com3.SlavePath());
    dir.Link(5, com5.SlavePath());
    port.Check_AllV24();
    ASSERT_EQ(port.GetMaxV24Devices(), 2);
    port.SetAutoSearch(true);
  }
  testing_support::PtyPair com3, com5;
};

TEST_F(AutoSearchTest, TriesComOneThenTheExistingPortsFromPositionOne) {
  refused = {1, 3, 5};
  EXPECT_EQ(port.Open(&queue, 3, true), INVALID_HANDLE_VALUE);
  EXPECT_EQ(asked, (std::vector<unsigned>{1, 5}));  // table position 0 (COM3) gets no attempt
  EXPECT_EQ(shown, (std::vector<std::string>{"COM1 konnte nicht geöffnet werden!"}));
}

TEST_F(AutoSearchTest, TheFoundPortGoesIntoTheRecord) {
  refused = {1};
  ASSERT_NE(port.Open(&queue, 3, true), INVALID_HANDLE_VALUE);
  EXPECT_EQ(asked, (std::vector<unsigned>{1, 5}));
  EXPECT_EQ(port.GetV24Parameter()->Schnittstelle, Com__5);
  EXPECT_TRUE(shown.empty());
}

}  // namespace
}  // namespace vestrel::comport::fakes
