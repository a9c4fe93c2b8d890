// Serial device access behind one small interface: the POSIX implementation (termios) is
// serial_posix.cpp, the Win32 one serial_win32.cpp; the build picks one.
//
// The line settings and time-outs are the Win32 records `DCB` and `COMMTIMEOUTS` with their
// field names and constants, so that the values the loader and the port component state can be
// set and read back on every platform. On POSIX they are translated to termios; on Windows to
// the system's records of the same names. <windows.h> defines the constants below as macros, so
// a file that needs both includes this header first (win32_dcb.h shows how).
//
// Threading: one thread may read (Read, WaitReadable) while another writes (Write, Drain) on the
// same device. Configuration calls must not run at the same time as each other.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

namespace vestrel::platform {

inline constexpr std::uint32_t MAXDWORD = 0xFFFFFFFF;

// DCB.Parity
inline constexpr std::uint8_t NOPARITY = 0;
inline constexpr std::uint8_t ODDPARITY = 1;
inline constexpr std::uint8_t EVENPARITY = 2;
inline constexpr std::uint8_t MARKPARITY = 3;
inline constexpr std::uint8_t SPACEPARITY = 4;
// DCB.StopBits
inline constexpr std::uint8_t ONESTOPBIT = 0;
inline constexpr std::uint8_t ONE5STOPBITS = 1;
inline constexpr std::uint8_t TWOSTOPBITS = 2;
// DCB.fDtrControl
inline constexpr std::uint8_t DTR_CONTROL_DISABLE = 0;
inline constexpr std::uint8_t DTR_CONTROL_ENABLE = 1;
inline constexpr std::uint8_t DTR_CONTROL_HANDSHAKE = 2;
// DCB.fRtsControl
inline constexpr std::uint8_t RTS_CONTROL_DISABLE = 0;
inline constexpr std::uint8_t RTS_CONTROL_ENABLE = 1;
inline constexpr std::uint8_t RTS_CONTROL_HANDSHAKE = 2;
inline constexpr std::uint8_t RTS_CONTROL_TOGGLE = 3;
// Purge flags
inline constexpr std::uint32_t PURGE_TXABORT = 0x0001;
inline constexpr std::uint32_t PURGE_RXABORT = 0x0002;
inline constexpr std::uint32_t PURGE_TXCLEAR = 0x0004;
inline constexpr std::uint32_t PURGE_RXCLEAR = 0x0008;

// Line settings. The one-bit and two-bit flags of the Win32 record are whole bytes here.
struct DCB {
  std::uint32_t DCBlength = 0;
  std::uint32_t BaudRate = 0;
  std::uint8_t fBinary = 0;
  std::uint8_t fParity = 0;  // check received parity
  std::uint8_t fOutxCtsFlow = 0;
  std::uint8_t fOutxDsrFlow = 0;
  std::uint8_t fDtrControl = 0;
  std::uint8_t fDsrSensitivity = 0;
  std::uint8_t fTXContinueOnXoff = 0;
  std::uint8_t fOutX = 0;
  std::uint8_t fInX = 0;
  std::uint8_t fErrorChar = 0;
  std::uint8_t fNull = 0;  // discard received zero bytes (the reader applies it)
  std::uint8_t fRtsControl = 0;
  std::uint8_t fAbortOnError = 0;
  std::uint16_t XonLim = 0;
  std::uint16_t XoffLim = 0;
  std::uint8_t ByteSize = 0;
  std::uint8_t Parity = 0;
  std::uint8_t StopBits = 0;
  char XonChar = 0;
  char XoffChar = 0;
  char ErrorChar = 0;
  char EofChar = 0;
  char EvtChar = 0;

  bool operator==(const DCB&) const = default;
};

// Time-outs in milliseconds, with the Win32 meaning (see SerialDevice::Read and Write).
struct COMMTIMEOUTS {
  std::uint32_t ReadIntervalTimeout = 0;
  std::uint32_t ReadTotalTimeoutMultiplier = 0;
  std::uint32_t ReadTotalTimeoutConstant = 0;
  std::uint32_t WriteTotalTimeoutMultiplier = 0;
  std::uint32_t WriteTotalTimeoutConstant = 0;

  bool operator==(const COMMTIMEOUTS&) const = default;
};

// When a read of `size` bytes under the time-outs `t` ends, by the Win32 rules, which every
// device (termios, Win32, remote, Web Serial) follows:
// - ReadIntervalTimeout MAXDWORD, both others 0: at once, with what has arrived;
// - ReadIntervalTimeout and ReadTotalTimeoutMultiplier MAXDWORD, 0 < constant < MAXDWORD: as
//   soon as a byte is there, else after the constant;
// - otherwise after multiplier x size + constant (no limit when both are 0), or once the gap
//   after a byte passes ReadIntervalTimeout (none when 0), or with a full buffer.
struct ReadPlan {
  std::optional<std::chrono::milliseconds> total;     // from the read's start; none: no limit
  std::optional<std::chrono::milliseconds> interval;  // the gap after a byte that ends it
  bool returnOnAny = false;                           // ends as soon as it has a byte

  bool operator==(const ReadPlan&) const = default;
};
ReadPlan PlanRead(const COMMTIMEOUTS& t, std::size_t size);

// Counts of receive errors since the driver started, where the driver keeps them.
struct LineErrorCounters {
  std::uint32_t frame = 0;
  std::uint32_t overrun = 0;  // the UART's receive overrun
  std::uint32_t parity = 0;
  std::uint32_t breaks = 0;
  std::uint32_t bufferOverrun = 0;  // the driver's input buffer overflowed

  bool operator==(const LineErrorCounters&) const = default;
};

enum class SerialStatus {
  Ok,
  TimedOut,     // a time limit passed; `count` says how much was transferred before
  Gone,         // the device hung up or disappeared (adapter pulled, peer closed)
  Unsupported,  // the device has no such feature (modem lines on a pseudo-terminal)
  Failed,       // any other system failure; `error` and `text` say which
};

struct SerialResult {
  SerialStatus status = SerialStatus::Ok;
  std::size_t count = 0;  // bytes read or written
  int error = 0;          // the system's error number, 0 if none
  std::string text;       // the system's text for `error`

  bool ok() const { return status == SerialStatus::Ok; }
};

class SerialDevice {
 public:
  virtual ~SerialDevice() = default;  // releases the device and its exclusive hold

  virtual const std::string& Path() const = 0;

  // Requests driver queue sizes; where the driver's queues are fixed this does nothing.
  virtual SerialResult SetupComm(std::uint32_t inQueue, std::uint32_t outQueue) = 0;
  // Discards pending input (PURGE_RXCLEAR) and/or output (PURGE_TXCLEAR).
  virtual SerialResult Purge(std::uint32_t flags) = 0;

  // The line settings in force; fields the system has no place for (XonLim, fNull, ...) read
  // back as they were last set.
  virtual SerialResult GetCommState(DCB& dcb) = 0;
  // Raw 8-bit line with the given settings. DTR and RTS follow fDtrControl and fRtsControl;
  // a device without modem lines (a pseudo-terminal) is accepted without them. A rate that the
  // driver does not run (it would set one off by more than RateWithinTolerance allows) fails
  // with Unsupported; the line may then be left at the driver's rate.
  virtual SerialResult SetCommState(const DCB& dcb) = 0;
  virtual SerialResult GetCommTimeouts(COMMTIMEOUTS& timeouts) = 0;
  virtual SerialResult SetCommTimeouts(const COMMTIMEOUTS& timeouts) = 0;

  // Modem lines; Unsupported on a device that has none.
  virtual SerialResult SetDtr(bool on) = 0;
  virtual SerialResult SetRts(bool on) = 0;

  // Reads up to buffer.size() bytes under the time-outs, as Win32 does:
  // - Interval MAXDWORD, both totals 0: returns at once with what is there.
  // - Interval MAXDWORD, multiplier MAXDWORD, 0 < constant < MAXDWORD: returns at once with
  //   what is there, else waits up to `constant` ms for the first byte and returns with it.
  // - Otherwise: ends when the buffer is full, when `interval` ms pass after a byte without the
  //   next one (0: no limit), or when multiplier * size + constant ms have passed (both 0: no
  //   limit).
  // A time-out is Ok with the count read so far (0: nothing came). Gone when the line hung up.
  virtual SerialResult Read(std::span<std::uint8_t> buffer) = 0;

  // Writes all bytes unless the write total time-out (multiplier * size + constant ms, both 0:
  // none) passes first: then TimedOut with the count written. Returns once the bytes are queued.
  virtual SerialResult Write(std::span<const std::uint8_t> data) = 0;

  // Waits until everything written has left the device, at most `limit`: TimedOut when bytes
  // are still waiting then (a line that has stopped taking them). The thread sleeps meanwhile.
  virtual SerialResult Drain(std::chrono::milliseconds limit) = 0;

  // Waits up to `limit` for received bytes: Ok when there are some, TimedOut, Gone or Failed.
  // The thread sleeps in the kernel meanwhile.
  virtual SerialResult WaitReadable(std::chrono::milliseconds limit) = 0;

  // Waits up to `limit` for bytes to arrive: Ok when bytes came in since the previous call
  // returned (at the first call: when any are queued), whether or not they have been read since.
  // Bytes that stay unread do not end a later wait, so a thread that only watches for arrivals
  // sleeps while they wait for their reader. Gone once when the line hangs up. One thread at a
  // time may call it. This default is WaitReadable, for devices that cannot tell arrivals apart.
  virtual SerialResult WaitArrival(std::chrono::milliseconds limit) { return WaitReadable(limit); }

  // Asks the driver to hand received bytes on at once instead of holding them for a while
  // (Linux: ASYNC_LOW_LATENCY; USB adapters then shorten their latency timer, 16 ms by default
  // on FTDI's, to 1 ms). The device's own setting is restored when it is closed. Unsupported
  // where the driver has no such setting, as on a pseudo-terminal.
  virtual SerialResult SetLowLatency(bool on) {
    (void)on;
    return {SerialStatus::Unsupported, 0, 0, "no low-latency setting"};
  }

  virtual SerialResult GetLineErrorCounters(LineErrorCounters& counters) = 0;
  virtual SerialResult ClearBreak() = 0;

  // Why the device counts as Gone, in a sentence for the user: what went away.
  virtual std::string GoneReason() const {
    return "The serial device " + Path() + " went away (adapter unplugged?).";
  }

  // False where the line's rate cannot be set from here (a raw TCP port): SetCommState then
  // keeps the settings for the device's own timing, and the far end's rate applies.
  virtual bool SetsLineRate() const { return true; }
};

// True when a line at `actual` baud still talks to one at `wanted`: within 3 %, the error that
// 8N1 framing tolerates between two ends.
constexpr bool RateWithinTolerance(std::uint32_t wanted, std::uint32_t actual) {
  const std::uint64_t difference = wanted > actual ? wanted - actual : actual - wanted;
  return difference * 100 <= std::uint64_t{wanted} * 3;
}

enum class OpenStatus {
  Opened,
  NotFound,          // nothing there, or no hardware behind the node
  NotASerialDevice,  // a regular file, FIFO, directory or other non-terminal: never opened
  Busy,              // another program holds it (exclusive open refused)
  PermissionDenied,  // the user may not open it
  Failed,            // any other reason
};

struct OpenResult {
  OpenStatus status = OpenStatus::Failed;
  std::unique_ptr<SerialDevice> device;  // set when Opened
  int error = 0;                         // the system's error number
  std::string text;                      // the system's text for it
  std::string ownerGroup;                // PermissionDenied: the group owning the device node
};

// Opens a serial device for exclusive reading and writing. A second opener of the same device,
// in this or another process and even with administrator rights, is refused with Busy. The
// line settings are left as they were. On Windows the device is opened for overlapped I/O, so
// that the threading note above holds. A remote port (remote_port.h) is connected to instead.
OpenResult OpenSerialDevice(const std::string& path);

// The same for a device driven from one thread only, as the loader's link does. On Windows it
// is opened for synchronous I/O (no FILE_FLAG_OVERLAPPED), where the system carries out one call
// on the handle at a time; elsewhere it is OpenSerialDevice.
OpenResult OpenSerialDeviceSynchronous(const std::string& path);

enum class PortState { Usable, Busy, Absent };

// What an exclusive open of `path` says right now: it succeeded (the device is closed again at
// once), another program holds the device, or anything else. A remote port counts as usable
// without a connection: connecting would open the far port, and could reset its board.
PortState ClassifyPort(const std::string& path);

const char* PortStateName(PortState state);  // "usable", "busy", "absent"

}  // namespace vestrel::platform
