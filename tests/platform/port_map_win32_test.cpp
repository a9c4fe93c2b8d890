// The Windows port map: port n is \\.\COMn, whatever the environment says.
#include <gtest/gtest.h>
#include <stdlib.h>

#include "platform/port_map.h"

namespace vestrel::platform {
namespace {

TEST(PortMapWin32, EveryPortNumberUsesTheDevicePathForm) {
  const PortMap map = PortMap::FromEnvironment();
  EXPECT_EQ(map.Source(), PortMapSource::System);
  EXPECT_EQ(map.DevicePath(1), "\\\\.\\COM1");
  EXPECT_EQ(map.DevicePath(9), "\\\\.\\COM9");
  EXPECT_EQ(map.DevicePath(10), "\\\\.\\COM10");  // no plain "COM10" name exists for these
  EXPECT_EQ(map.DevicePath(256), "\\\\.\\COM256");
  EXPECT_EQ(map.DevicePath(0), std::nullopt);
  EXPECT_EQ(map.DevicePath(257), std::nullopt);
}

TEST(PortMapWin32, PortDirectoryOfTheEnvironmentIsNotUsed) {
  ASSERT_EQ(::_putenv_s("VESTREL_PORT_DIR", "C:\\ports"), 0);
  const PortMap map = PortMap::FromEnvironment();
  ::_putenv_s("VESTREL_PORT_DIR", "");
  EXPECT_EQ(map.Source(), PortMapSource::System);
  EXPECT_EQ(map.DevicePath(3), "\\\\.\\COM3");
}

TEST(PortMapWin32, EntriesAreSystemPortsInAscendingOrder) {
  unsigned previous = 0;
  for (const PortMapEntry& entry : PortMap::FromEnvironment().Entries()) {
    EXPECT_GT(entry.number, previous);
    EXPECT_EQ(entry.devicePath, "\\\\.\\COM" + std::to_string(entry.number));
    EXPECT_FALSE(entry.resolvedPath.empty());
    previous = entry.number;
  }
}

}  // namespace
}  // namespace vestrel::platform
