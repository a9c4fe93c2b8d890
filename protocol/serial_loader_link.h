// The loader's own serial link to the bootloader: one port, opened and driven synchronously on
// the caller's thread. Frames are read a byte at a time, each byte waiting at most 100 ms.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "platform/serial_device.h"
#include "protocol/boot_link.h"
#include "protocol/loader_view.h"

namespace vestrel::protocol {

class SerialLoaderLink final : public BootLink {
 public:
  // Opens a device by path; tests hand in a fake.
  using DeviceOpener = std::function<platform::OpenResult(const std::string& devicePath)>;

  explicit SerialLoaderLink(LoaderView& view,
                            DeviceOpener opener = platform::OpenSerialDeviceSynchronous);
  ~SerialLoaderLink() override;  // closes an open port

  SerialLoaderLink(const SerialLoaderLink&) = delete;
  SerialLoaderLink& operator=(const SerialLoaderLink&) = delete;

  bool OpenPort(const std::optional<PortTarget>& port,
                std::optional<std::uint32_t> baudRate) override;
  bool OpenPortIfPresent(const std::optional<PortTarget>& port,
                         std::optional<std::uint32_t> baudRate, bool& absent) override;
  void ClosePort() override;
  std::string SetModemLine(ModemLine line, bool on) override;
  bool IsOpen() const override { return ComHandle != nullptr; }
  Failure OpenFailure() const override { return openFailure_; }
  bool SetsLineRate() const override;

  // "COM3" for display; otherwise the device that port n stands for ("\\.\COM3" on Windows,
  // the port map's device elsewhere; empty when the map has none).
  static std::string PortName(unsigned n, bool forDisplay);
  // Display name and device of port n, as OpenPort takes them.
  static PortTarget Target(unsigned n);

  int SyncProbe() override;
  bool BaudSync() override;

  // Writes the encoded frame in one call, then waits until it has left the host: the reply
  // window starts when the request is on the wire. Both are bounded by the frame's time on the
  // wire plus kWriteMargin: a line that stops taking bytes loses the link.
  int SendFrame(std::span<const std::uint8_t> payload) override;
  int ReceiveFrame(std::span<std::uint8_t> buffer) override;
  void ExtendNextReplyWait(std::chrono::milliseconds extra) override { replyGrace_ = extra; }
  void DiscardStaleInput() override;
  std::string LinkLostReason() const override { return lostReason_; }
  ErrorClass LinkLostClass() const override { return lostClass_; }
  void DeclareLost(ErrorClass error, const std::string& reason) override;

  // Tests run the reply budget on their own clock.
  using Clock = std::function<std::chrono::steady_clock::time_point()>;
  void SetClock(Clock clock) { clock_ = std::move(clock); }

  // How much longer than its bytes take on the wire a write may take before the line counts as
  // stalled: room for a busy machine and a USB adapter's buffering.
  static constexpr std::uint32_t kWriteMarginMs = 1000;

  // Bytes taken from the device in one read and handed to the frame reader one at a time;
  // a receive may leave up to this many of them read but not yet examined.
  static constexpr std::size_t kReadAheadSize = 512;

  // Bytes that one receive reads at most before giving up on a line that never ends a frame.
  static std::size_t ReceiveByteLimit(std::size_t capacity);

  // A reply, once its first byte has come, must be complete within kReplySlack times the wire
  // time of its bytes plus kReplyMarginMs (room for a USB adapter's latency timer or a port
  // server's buffering); kSlowRepliesBeforeLost replies in a row that are not give the link up.
  static constexpr std::uint32_t kReplyMarginMs = 1000;
  static constexpr int kReplySlack = 4;
  static constexpr int kSlowRepliesBeforeLost = 3;

 private:
  bool Fail(ErrorClass error, const std::string& text, const std::string& reason);
  // OpenPort; with `absent` given, a device that is not there fails quietly and sets it.
  bool Open(const std::optional<PortTarget>& port, std::optional<std::uint32_t> baudRate,
            bool* absent);
  // Writes and drains `bytes` within their wire time plus the margin; false when the link is
  // lost (before, or by this write).
  bool WriteAll(std::span<const std::uint8_t> bytes);
  std::chrono::milliseconds WireTime(std::size_t bytes) const;
  std::chrono::milliseconds ReplyBudget(std::size_t received) const;
  // A reply that has taken longer than its budget: kTimedOut, and the link is given up once
  // replies have kept coming too slowly.
  int NoteSlowReply(std::size_t received, std::chrono::nanoseconds taken);
  // One byte under the 100 ms rule: 1, 0 on a time-out, -1 when the read failed.
  int ReadByte(std::uint8_t& byte);
  // The first byte of a reply: the 100 ms, and then the grace the request gave.
  int ReadFirstByte(std::uint8_t& byte, std::chrono::milliseconds grace);
  void ForgetReadAhead() { readAheadStart_ = readAheadEnd_ = 0; }
  void RestoreFoundState();
  // Passes a device result through, noting when it says the device has gone away.
  platform::SerialResult Note(platform::SerialResult result);

  LoaderView& view_;
  DeviceOpener opener_;
  std::unique_ptr<platform::SerialDevice> ComHandle;  // null while closed
  std::optional<platform::DCB> foundState_;           // the line as the open found it
  std::uint32_t baudRate_ = 0;
  std::string lostReason_;
  ErrorClass lostClass_ = ErrorClass::None;
  Failure openFailure_;
  Clock clock_ = std::chrono::steady_clock::now;
  int slowReplies_ = 0;                      // replies in a row that exceeded their budget
  std::chrono::milliseconds replyGrace_{0};  // for the next reply's first byte, beyond 100 ms
  bool timedOut_ = false;  // a read timed out since the last discard: a late reply may follow
  // Bytes the device has handed over but the frame reader has not taken yet: one device read
  // takes everything that has arrived, so a reply costs a few system calls rather than two per
  // byte. They count as part of the input queue (discarded and purged with it).
  std::array<std::uint8_t, kReadAheadSize> readAhead_{};
  std::size_t readAheadStart_ = 0;
  std::size_t readAheadEnd_ = 0;
};

}  // namespace vestrel::protocol
