// A serial device reached through the browser's Web Serial API: the port the user granted the
// page, opened by the page's script (serial_lines.js) and read and written from the core's
// thread, which is suspended (Asyncify) while it waits for the port.
//
// Web Serial sets the line when it opens the port, so changing the rate, data bits, parity or
// stop bits reopens it. Reads follow the first two time-out modes of SerialDevice::Read (return
// at once, or wait up to the constant for the first byte); in the third mode a read waits up to
// the total (no limit when it is 0) for its first byte and returns what has arrived then. Writes
// end when the browser has passed the bytes on, so Drain has nothing left to wait for. There are
// no driver queues to size and no low-latency setting; received bytes that the browser reports
// as framing, parity, break or overrun errors are counted.
#pragma once

#include <cstdint>
#include <string>

#include "platform/serial_device.h"

namespace vestrel::web {

class WebSerialDevice final : public platform::SerialDevice {
 public:
  // Opens the granted port that the page lists under `label` at `baudRate`, 8N1, no flow
  // control.
  static platform::OpenResult Open(const std::string& label, std::uint32_t baudRate);

  ~WebSerialDevice() override;  // closes the port
  WebSerialDevice(const WebSerialDevice&) = delete;
  WebSerialDevice& operator=(const WebSerialDevice&) = delete;

  const std::string& Path() const override { return label_; }
  platform::SerialResult SetupComm(std::uint32_t, std::uint32_t) override { return {}; }
  platform::SerialResult Purge(std::uint32_t flags) override;
  platform::SerialResult GetCommState(platform::DCB& dcb) override;
  platform::SerialResult SetCommState(const platform::DCB& dcb) override;
  platform::SerialResult GetCommTimeouts(platform::COMMTIMEOUTS& timeouts) override;
  platform::SerialResult SetCommTimeouts(const platform::COMMTIMEOUTS& timeouts) override;
  platform::SerialResult SetDtr(bool on) override;
  platform::SerialResult SetRts(bool on) override;
  platform::SerialResult Read(std::span<std::uint8_t> buffer) override;
  platform::SerialResult Write(std::span<const std::uint8_t> data) override;
  platform::SerialResult Drain(std::chrono::milliseconds limit) override;
  platform::SerialResult WaitReadable(std::chrono::milliseconds limit) override;
  platform::SerialResult GetLineErrorCounters(platform::LineErrorCounters& counters) override;
  platform::SerialResult ClearBreak() override;
  std::string GoneReason() const override;

 private:
  WebSerialDevice(int line, std::string label, std::uint32_t baudRate);

  // The result of a page call that returned `code` (negative: the port failed or went away).
  platform::SerialResult Result(int code, std::size_t count = 0) const;
  platform::SerialResult SetSignal(const char* name, bool on);
  // Why the page gave up a port that the browser still offers ("" when it did not).
  std::string FailingText() const;
  // What a read may wait for its first byte, in ms; negative: no limit.
  double FirstByteWait(std::size_t size) const;

  int line_;  // the page's number for the open port
  std::string label_;
  platform::DCB dcb_{};
  platform::COMMTIMEOUTS timeouts_{};
};

}  // namespace vestrel::web
