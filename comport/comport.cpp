#include "comport/comport.h"

#include "platform/port_map.h"
#include "platform/serial_device.h"

namespace vestrel::comport {

std::string V24PortName(unsigned Number, bool Display) {
  return (Display ? "COM" : "\\\\.\\COM") + std::to_string(Number);
}

TComPort::TComPort() { Check_AllV24(); }

void TComPort::Check_AllV24() {
  UseableV24.fill(0);
  DeviceV24.fill(0);
  MaxV24Devices = 0;
  MaxV24Useable = 0;

  // On Windows the map gives V24PortName (i + 1, false); elsewhere the configured device.
  const platform::PortMap map = platform::PortMap::FromEnvironment();
  for (unsigned i = 0; i < platform::kMaxPortNumber; ++i) {
    const std::optional<std::string> path = map.DevicePath(i + 1);
    if (!path) continue;
    const platform::PortState state = platform::ClassifyPort(*path);
    if (state == platform::PortState::Absent) continue;
    const auto index = static_cast<std::uint8_t>(i);
    if (state == platform::PortState::Usable)
      UseableV24[static_cast<std::size_t>(MaxV24Useable++)] = index;
    DeviceV24[static_cast<std::size_t>(MaxV24Devices++)] = index;
  }
}

}  // namespace vestrel::comport
