#include "protocol/serial_loader_link.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <utility>
#include <vector>

#include "platform/port_map.h"
#include "protocol/frame.h"

namespace vestrel::protocol {
namespace {

using platform::OpenResult;
using platform::OpenStatus;
using platform::SerialResult;

constexpr const char* kPortErrorCaption = "Port Error";
constexpr const char* kOpenFailed = "Unable to Open COMM Port";
constexpr const char* kGetStateFailed = "Unable to Get Comm State";
constexpr const char* kSetStateFailed = "Unable to Set Comm State";
constexpr const char* kTimeoutsFailed = "Unable to Set Comm Timeouts";

constexpr std::uint32_t kQueueSize = 10000;
constexpr std::uint32_t kPurgeAll = platform::PURGE_TXABORT | platform::PURGE_RXABORT |
                                    platform::PURGE_TXCLEAR | platform::PURGE_RXCLEAR;
constexpr std::uint32_t kFirstByteWaitMs = 100;

// Noise and repeated start bytes that may precede a reply before a receive gives up.
constexpr std::size_t kNoiseAllowance = 1024;

// How long DiscardStaleInput reads at most, on a line that never goes quiet.
constexpr std::chrono::milliseconds kDiscardLimit{500};
// After a read that timed out, the reply may still be on its way, late: the line must stay
// quiet this long before a new request can be sure not to get it as its answer.
constexpr std::chrono::milliseconds kLateReplyQuiet{250};

ErrorClass OpenFailureClass(OpenStatus status) {
  switch (status) {
    case OpenStatus::NotFound:
      return ErrorClass::PortAbsent;
    case OpenStatus::Busy:
      return ErrorClass::PortBusy;
    case OpenStatus::PermissionDenied:
      return ErrorClass::PortDenied;
    case OpenStatus::NotASerialDevice:
    case OpenStatus::Failed:
    case OpenStatus::Opened:
      break;
  }
  return ErrorClass::PortUnusable;
}

std::string OpenFailureReason(const PortTarget& port, const OpenResult& opened) {
  const std::string device = port.devicePath.empty() ? std::string("no device") : port.devicePath;
  const std::string named =
      port.displayName == device ? device : port.displayName + " (" + device + ")";
  switch (opened.status) {
    case OpenStatus::NotFound:
      if (port.devicePath.empty()) return "No device stands for " + port.displayName + ".";
      return named + " does not exist: " + opened.text + ".";
    case OpenStatus::NotASerialDevice:
      return named + " is not a serial device.";
    case OpenStatus::Busy:
      return named + " is held by another program.";
    case OpenStatus::PermissionDenied:
      return "Permission denied on " + device +
             ": the user may need to be a member of the group \"" + opened.ownerGroup +
             "\" that owns the device.";
    case OpenStatus::Failed:
    case OpenStatus::Opened:
      break;
  }
  return named + ": " + opened.text + ".";
}

std::string SystemReason(const SerialResult& result) {
  return result.text.empty() ? std::string() : result.text + ".";
}

// A few character times (10 bits each) at the line's rate, but no less than USB adapters need
// to pass on what they have received.
std::chrono::milliseconds QuietTime(std::uint32_t baudRate) {
  constexpr std::uint32_t kCharacters = 5;
  const std::uint32_t rate = std::max<std::uint32_t>(baudRate, 1);
  const auto ms = (kCharacters * 10 * 1000 + rate - 1) / rate;
  return std::chrono::milliseconds(std::max<std::uint32_t>(ms, 30));
}

}  // namespace

SerialLoaderLink::SerialLoaderLink(LoaderView& view, DeviceOpener opener)
    : view_(view), opener_(std::move(opener)) {}

SerialLoaderLink::~SerialLoaderLink() {
  ClosePort();
}

std::string SerialLoaderLink::PortName(unsigned n, bool forDisplay) {
  if (forDisplay) return platform::PortDisplayName(n);
  return platform::PortMap::FromEnvironment().DevicePath(n).value_or(std::string());
}

PortTarget SerialLoaderLink::Target(unsigned n) {
  return {PortName(n, true), PortName(n, false)};
}

bool SerialLoaderLink::Fail(ErrorClass error, const std::string& text, const std::string& reason) {
  ClosePort();
  openFailure_ = {error, reason.empty() ? text : text + "\n" + reason};
  view_.ShowMessage(openFailure_.message, kPortErrorCaption);
  return false;
}

bool SerialLoaderLink::OpenPort(const std::optional<PortTarget>& port,
                                std::optional<std::uint32_t> baudRate) {
  return Open(port, baudRate, nullptr);
}

bool SerialLoaderLink::OpenPortIfPresent(const std::optional<PortTarget>& port,
                                         std::optional<std::uint32_t> baudRate, bool& absent) {
  absent = false;
  return Open(port, baudRate, &absent);
}

bool SerialLoaderLink::Open(const std::optional<PortTarget>& port,
                            std::optional<std::uint32_t> baudRate, bool* absent) {
  if (ComHandle) return true;
  if (!port) return Fail(ErrorClass::PortAbsent, kOpenFailed, "No port is selected.");
  if (!baudRate) return Fail(ErrorClass::Usage, kOpenFailed, "No baud rate is selected.");

  lostReason_.clear();  // a new device: what happened to the last one no longer explains errors
  lostClass_ = ErrorClass::None;
  slowReplies_ = 0;
  OpenResult opened = opener_(port->devicePath);
  if (absent != nullptr && opened.status == OpenStatus::NotFound) {
    *absent = true;
    return false;
  }
  if (opened.status != OpenStatus::Opened || !opened.device)
    return Fail(OpenFailureClass(opened.status), kOpenFailed, OpenFailureReason(*port, opened));
  ComHandle = std::move(opened.device);

  ComHandle->SetupComm(kQueueSize, kQueueSize);
  ComHandle->Purge(kPurgeAll);  // a stale reply must not answer a new request
  ForgetReadAhead();

  platform::DCB dcb{};
  dcb.DCBlength = sizeof(dcb);
  if (SerialResult r = ComHandle->GetCommState(dcb); !r.ok())
    return Fail(ErrorClass::PortUnusable, kGetStateFailed, SystemReason(r));
  foundState_ = dcb;
  dcb.BaudRate = *baudRate;
  dcb.fBinary = 1;
  dcb.fParity = 0;
  dcb.fOutxCtsFlow = 0;
  dcb.fOutxDsrFlow = 0;
  dcb.fDtrControl = platform::DTR_CONTROL_DISABLE;
  dcb.fRtsControl = platform::RTS_CONTROL_DISABLE;
  dcb.fOutX = 0;
  dcb.fInX = 0;
  dcb.fNull = 0;
  dcb.ByteSize = 8;
  dcb.Parity = platform::NOPARITY;
  dcb.StopBits = platform::ONESTOPBIT;
  if (SerialResult r = ComHandle->SetCommState(dcb); !r.ok())
    return Fail(ErrorClass::PortUnusable, kSetStateFailed, SystemReason(r));
  if (!ComHandle->SetsLineRate())
    view_.SetInfoText(port->displayName + ": the rate cannot be set over raw TCP; the port " +
                      "server's own rate applies (the sync tells whether it matches)");

  platform::COMMTIMEOUTS timeouts{};
  if (SerialResult r = ComHandle->GetCommTimeouts(timeouts); !r.ok())
    return Fail(ErrorClass::PortUnusable, kTimeoutsFailed, SystemReason(r));
  // Return at once with what is there, else wait up to 100 ms for the first byte.
  timeouts.ReadIntervalTimeout = platform::MAXDWORD;
  timeouts.ReadTotalTimeoutMultiplier = platform::MAXDWORD;
  timeouts.ReadTotalTimeoutConstant = kFirstByteWaitMs;
  // A write must not wait forever on a line that stops taking bytes: whole milliseconds per
  // byte (10 bit times, rounded up) plus the margin.
  timeouts.WriteTotalTimeoutMultiplier = (10'000 + *baudRate - 1) / *baudRate;
  timeouts.WriteTotalTimeoutConstant = kWriteMarginMs;
  if (SerialResult r = ComHandle->SetCommTimeouts(timeouts); !r.ok())
    return Fail(ErrorClass::PortUnusable, kTimeoutsFailed, SystemReason(r));

  // Replies come back sooner through USB adapters; where the driver has no such setting (a
  // pseudo-terminal) nothing changes. The device restores it when it is closed.
  ComHandle->SetLowLatency(true);
  baudRate_ = *baudRate;
  view_.SetInfoText(port->displayName + " is open");
  return true;
}

// A device that went away stays named until the next open: the steps after a sync that failed
// for that reason (which closes the port) then say why they cannot send.
void SerialLoaderLink::ClosePort() {
  if (ComHandle && foundState_) RestoreFoundState();
  ComHandle.reset();
  foundState_.reset();
  ForgetReadAhead();
}

// The line goes back to what the other users of the port had set. Its modem lines stay off:
// raising DTR or RTS again could reset the board, or send it back into its bootloader.
void SerialLoaderLink::RestoreFoundState() {
  platform::DCB restore = *foundState_;
  if (restore.fDtrControl == platform::DTR_CONTROL_ENABLE)
    restore.fDtrControl = platform::DTR_CONTROL_DISABLE;
  if (restore.fRtsControl == platform::RTS_CONTROL_ENABLE)
    restore.fRtsControl = platform::RTS_CONTROL_DISABLE;
  ComHandle->SetCommState(restore);  // nothing to be done if it fails: the device may be gone
}

std::string SerialLoaderLink::SetModemLine(ModemLine line, bool on) {
  if (!ComHandle) return "The port is not open.";
  const SerialResult r =
      Note(line == ModemLine::Dtr ? ComHandle->SetDtr(on) : ComHandle->SetRts(on));
  if (r.ok()) return {};
  if (r.status == platform::SerialStatus::Unsupported)
    return ComHandle->Path() + " has no modem lines (DTR and RTS) to reset the board with.";
  if (!lostReason_.empty()) return lostReason_;
  return std::string("Setting ") + ModemLineName(line) + " on " + ComHandle->Path() +
         " failed: " + r.text + ".";
}

SerialResult SerialLoaderLink::Note(SerialResult result) {
  if (result.status == platform::SerialStatus::Gone)
    DeclareLost(ErrorClass::LinkLost, ComHandle->GoneReason());
  return result;
}

void SerialLoaderLink::DeclareLost(ErrorClass error, const std::string& reason) {
  if (!lostReason_.empty()) return;
  lostReason_ = reason;
  lostClass_ = error;
}

std::chrono::milliseconds SerialLoaderLink::WireTime(std::size_t bytes) const {
  const std::uint64_t rate = std::max<std::uint32_t>(baudRate_, 1);
  return std::chrono::milliseconds((bytes * 10'000 + rate - 1) / rate);
}

bool SerialLoaderLink::WriteAll(std::span<const std::uint8_t> bytes) {
  if (!ComHandle || !lostReason_.empty()) return false;
  const SerialResult written = Note(ComHandle->Write(bytes));
  SerialResult drained = written;
  if (written.ok())
    drained =
        Note(ComHandle->Drain(WireTime(bytes.size()) + std::chrono::milliseconds(kWriteMarginMs)));
  if (written.status == platform::SerialStatus::TimedOut ||
      drained.status == platform::SerialStatus::TimedOut) {
    DeclareLost(ErrorClass::LineStalled,
                "The serial line " + ComHandle->Path() +
                    " stopped taking bytes: " + std::to_string(bytes.size()) +
                    " bytes did not go out in time (a stalled adapter?).");
  }
  return written.ok() && drained.ok();
}

int SerialLoaderLink::ReadByte(std::uint8_t& byte) {
  if (readAheadStart_ == readAheadEnd_) {
    // Returns at once with what has arrived, else waits up to 100 ms for the first byte.
    const SerialResult r = Note(ComHandle->Read(readAhead_));
    if (!r.ok()) return kReadFailed;
    readAheadStart_ = 0;
    readAheadEnd_ = r.count;
    if (r.count == 0) return 0;
  }
  byte = readAhead_[readAheadStart_++];
  return 1;
}

int SerialLoaderLink::ReadFirstByte(std::uint8_t& byte, std::chrono::milliseconds grace) {
  const int r = ReadByte(byte);
  if (r != 0 || grace.count() == 0) return r;
  const SerialResult waited = Note(ComHandle->WaitReadable(grace));
  if (waited.status == platform::SerialStatus::TimedOut) return 0;
  if (!waited.ok()) return kReadFailed;
  return ReadByte(byte);
}

int SerialLoaderLink::SyncProbe() {
  // The result of the write is not examined: an unanswered probe says enough.
  if (!ComHandle || !lostReason_.empty()) return 0;
  WriteAll(std::span<const std::uint8_t>(&kStartByte, 1));
  std::uint8_t answer = 0;
  if (ReadByte(answer) == 1) return 1;
  timedOut_ = true;
  return 0;
}

bool SerialLoaderLink::SetsLineRate() const {
  return !ComHandle || ComHandle->SetsLineRate();
}

bool SerialLoaderLink::BaudSync() {
  for (int probe = 0; probe < kSyncProbes; ++probe)
    if (SyncProbe() == 1) return true;
  return false;
}

// The bootloader sees the same bytes as from a write per byte: start bytes, escaped payload,
// checksum, end byte. One call per frame instead of one per byte with a yield after each: at
// 921600 baud the per-byte calls could not keep up with the line and left gaps on it, and each
// woke the reader on the far side of a pseudo-terminal or USB adapter.
int SerialLoaderLink::SendFrame(std::span<const std::uint8_t> payload) {
  // write() returns once the bytes are queued; the reply window must start when they are out.
  // What went out before a failure stays sent.
  if (!WriteAll(EncodeFrame(payload))) return kReadFailed;
  return static_cast<int>(payload.size());
}

std::size_t SerialLoaderLink::ReceiveByteLimit(std::size_t capacity) {
  // The longest valid reply: start bytes, every stored byte escaped, the end byte.
  return kStartByteCount + 2 * capacity + 1 + kNoiseAllowance;
}

std::chrono::milliseconds SerialLoaderLink::ReplyBudget(std::size_t received) const {
  return std::chrono::milliseconds(kReplyMarginMs) + kReplySlack * WireTime(received);
}

int SerialLoaderLink::ReceiveFrame(std::span<std::uint8_t> buffer) {
  if (!ComHandle || !lostReason_.empty()) return kReadFailed;
  FrameDecoder decoder(buffer);
  // Start bytes restart the decoder, so a line babbling them would never end a frame.
  const std::size_t limit = ReceiveByteLimit(buffer.size());
  std::chrono::steady_clock::time_point first{};
  const std::chrono::milliseconds grace = std::exchange(replyGrace_, std::chrono::milliseconds(0));
  for (std::size_t received = 0; received < limit; ++received) {
    std::uint8_t byte = 0;
    const int r = received == 0 ? ReadFirstByte(byte, grace) : ReadByte(byte);
    if (r < 0) return kReadFailed;
    if (r == 0) {
      timedOut_ = true;
      return kTimedOut;
    }
    const auto now = clock_();
    if (received == 0) first = now;
    // Each byte may come 100 ms after the last, so a line that trickles bytes would keep one
    // reply going for minutes: the reply as a whole must keep pace with the rate.
    if (now - first > ReplyBudget(received + 1)) return NoteSlowReply(received + 1, now - first);
    if (std::optional<int> result = decoder.Feed(byte)) {
      slowReplies_ = 0;
      return *result;
    }
  }
  return kFrameTooLong;
}

int SerialLoaderLink::NoteSlowReply(std::size_t received, std::chrono::nanoseconds taken) {
  timedOut_ = true;  // the rest of the reply is still coming
  if (++slowReplies_ < kSlowRepliesBeforeLost) return kTimedOut;
  const double seconds = std::chrono::duration<double>(taken).count();
  const auto perSecond = static_cast<unsigned long>(static_cast<double>(received) / seconds);
  DeclareLost(ErrorClass::LineSlow,
              "Replies arrive at about " + std::to_string(perSecond) + " bytes/s, far below " +
                  std::to_string(baudRate_) +
                  " baud: a wrong rate, or a congested port server? The link is given up.");
  return kTimedOut;
}

void SerialLoaderLink::DiscardStaleInput() {
  if (!ComHandle || !lostReason_.empty()) return;
  ForgetReadAhead();
  const auto quiet = timedOut_ ? kLateReplyQuiet : QuietTime(baudRate_);
  timedOut_ = false;
  const auto end = std::chrono::steady_clock::now() + kDiscardLimit;
  std::array<std::uint8_t, 256> scratch{};
  while (std::chrono::steady_clock::now() < end) {
    if (!ComHandle->WaitReadable(quiet).ok()) return;  // quiet, or the line is gone
    if (!ComHandle->Read(scratch).ok()) return;
  }
}

}  // namespace vestrel::protocol
