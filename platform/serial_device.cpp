#include "platform/serial_device.h"

#include "platform/local_serial.h"
#include "platform/remote_port.h"

namespace vestrel::platform {

OpenResult OpenSerialDevice(const std::string& path) {
  if (const std::optional<RemotePortUrl> remote = RemotePortOf(path))
    return OpenRemotePort(*remote);
  return OpenLocalSerialDevice(path);
}

// A connection is driven by the calling thread in either case.
OpenResult OpenSerialDeviceSynchronous(const std::string& path) {
  if (const std::optional<RemotePortUrl> remote = RemotePortOf(path))
    return OpenRemotePort(*remote);
  return OpenLocalSerialDeviceSynchronous(path);
}

PortState ClassifyPort(const std::string& path) {
  if (RemotePortOf(path)) return PortState::Usable;
  switch (OpenLocalSerialDevice(path).status) {
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
