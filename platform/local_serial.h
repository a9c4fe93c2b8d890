// The system's own serial devices: serial_posix.cpp or serial_win32.cpp opens them. The
// functions of serial_device.h hand them every name that is not a remote port.
#pragma once

#include <string>

#include "platform/serial_device.h"

namespace vestrel::platform {

// OpenSerialDevice and OpenSerialDeviceSynchronous for a local device.
OpenResult OpenLocalSerialDevice(const std::string& path);
OpenResult OpenLocalSerialDeviceSynchronous(const std::string& path);

}  // namespace vestrel::platform
