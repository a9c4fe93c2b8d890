#include "platform/serial_device.h"

namespace vestrel::platform {

PortState ClassifyPort(const std::string& path) {
  switch (OpenSerialDevice(path).status) {
    case OpenStatus::Opened: return PortState::Usable;
    case OpenStatus::Busy: return PortState::Busy;
    default: return PortState::Absent;
  }
}

const char* PortStateName(PortState state) {
  switch (state) {
    case PortState::Usable: return "usable";
    case PortState::Busy: return "busy";
    case PortState::Absent: break;
  }
  return "absent";
}

}  // namespace vestrel::platform
