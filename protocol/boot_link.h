// The loader's own serial connection to the bootloader, as the sequences use it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "protocol/error_class.h"
#include "protocol/frame_channel.h"
#include "protocol/reset_sequence.h"

namespace vestrel::protocol {

// The port to open: the name shown to the user ("COM3") and the device that is opened.
struct PortTarget {
  std::string displayName;
  std::string devicePath;
};

class BootLink : public FrameChannel {
 public:
  // Opens and configures the port (8N1, no flow control, DTR/RTS off, input purged, reads that
  // wait at most 100 ms for a byte). Returns true at once if a port is already open. On failure
  // it has shown its own "Port Error" box and the port is closed. An absent port or baud rate
  // (nothing selected) fails with a box that names what is missing.
  virtual bool OpenPort(const std::optional<PortTarget>& port,
                        std::optional<std::uint32_t> baudRate) = 0;
  virtual void ClosePort() = 0;
  virtual bool IsOpen() const = 0;
  // What the last failed open showed in its box, with its class (port-busy, port-denied, ...).
  virtual Failure OpenFailure() const { return {ErrorClass::PortUnusable, {}}; }
  // False where the rate cannot be set from here (a raw TCP port: the server's own applies).
  virtual bool SetsLineRate() const { return true; }

  // As OpenPort, except that a port whose device is not there (an adapter not plugged in yet)
  // fails without a box and sets `absent`; any other failure shows its box as OpenPort does.
  virtual bool OpenPortIfPresent(const std::optional<PortTarget>& port,
                                 std::optional<std::uint32_t> baudRate, bool& absent) {
    absent = false;
    return OpenPort(port, baudRate);
  }

  // Drives a modem line of the open port: "" when it is set, otherwise why not (a device
  // without modem lines, a closed port).
  virtual std::string SetModemLine(ModemLine line, bool on) {
    (void)line;
    (void)on;
    return "This link has no modem lines.";
  }

  // One 0x55 probe; returns the number of answer bytes received, 0 or 1.
  virtual int SyncProbe() = 0;
  // Up to kSyncProbes probes; true at the first answer.
  virtual bool BaudSync() = 0;
  static constexpr int kSyncProbes = 20;
};

}  // namespace vestrel::protocol
