// Win32 serial devices: the system's communications calls behind serial_device.h.
//
// Two ways of opening: OpenSerialDevice for overlapped I/O (FILE_FLAG_OVERLAPPED), so that a
// reader, a writer and an event wait can be outstanding on the handle at the same time, and
// OpenSerialDeviceSynchronous for the loader's link, which drives the port from one thread with
// plain blocking calls whose ends the driver's COMMTIMEOUTS decide.
//
// On the overlapped handle a read takes only the bytes that are already queued (ClearCommError
// says how many), and waits for more with WaitCommEvent, so the time-out rules of the interface
// are kept here rather than left to the driver: not every system applies COMMTIMEOUTS to
// overlapped reads (Wine does not), and a read that never ends could not be taken back without
// losing what it had received. Where the event wait does not work either (Wine on a
// pseudo-terminal ends it at once as aborted), the queue is looked at every few milliseconds.
#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <mutex>
#include <optional>
#include <utility>

// clang-format off
#include "platform/local_serial.h"
#include "platform/win32_dcb.h"  // before <windows.h>: see its note
// clang-format on

namespace vestrel::platform {
namespace {

using win32::ErrorText;
using win32::UniqueHandle;
using Clock = std::chrono::steady_clock;

// How often the queue is looked at where the driver's event wait does not work.
constexpr DWORD kQueuePollMs = 5;

// Errors with which calls on an open port report a device that went away: a USB adapter pulled
// (drivers differ: access denied, bad command, general failure, ...), or a line that hung up
// (Wine: not ready).
bool IsGoneError(DWORD error) {
  switch (error) {
    case ERROR_ACCESS_DENIED:
    case ERROR_NOT_READY:
    case ERROR_BAD_COMMAND:
    case ERROR_GEN_FAILURE:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_BROKEN_PIPE:
      return true;
    default:
      return false;
  }
}

SerialResult Failure(DWORD error, std::size_t count = 0) {
  SerialStatus status = SerialStatus::Failed;
  if (IsGoneError(error)) status = SerialStatus::Gone;
  if (error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION)
    status = SerialStatus::Unsupported;
  return {status, count, static_cast<int>(error), ErrorText(error)};
}

SerialResult LastFailure(std::size_t count = 0) {
  return Failure(::GetLastError(), count);
}

SerialResult Success(std::size_t count = 0) {
  return {SerialStatus::Ok, count, 0, {}};
}

SerialResult Check(BOOL ok) {
  return ok ? Success() : LastFailure();
}

SerialResult TimedOut(std::size_t count = 0) {
  return {SerialStatus::TimedOut, count, ERROR_TIMEOUT, ErrorText(ERROR_TIMEOUT)};
}

SerialResult WithCount(SerialResult r, std::size_t count) {
  r.count = count;
  return r;
}

using Deadline = std::optional<Clock::time_point>;

DWORD MillisecondsLeft(const Deadline& deadline) {
  if (!deadline) return INFINITE;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now()).count();
  return static_cast<DWORD>(std::clamp<decltype(left)>(left, 0, INFINITE - 1));
}

// While a port is open through this layer, a named mutex stands for it. The driver of a real
// port refuses a second opener by itself (ERROR_ACCESS_DENIED); not every system does for every
// device (Wine lets a port backed by a pseudo-terminal be opened twice), and the mutex makes a
// second opener in any program on this layer find the port busy there too. Nullopt when another
// opener holds it; otherwise the mutex, or none where it cannot be made (the driver's own
// refusal then stands alone).
std::optional<UniqueHandle> HoldPortName(const std::string& path) {
  std::string name = "vestrel-serial-port:";
  for (char c : path)
    name += c == '\\' ? '/' : static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  UniqueHandle mutex(::CreateMutexA(nullptr, FALSE, name.c_str()));
  if (mutex.Valid() && ::GetLastError() == ERROR_ALREADY_EXISTS) return std::nullopt;
  return mutex;
}

class Win32SerialDevice final : public SerialDevice {
 public:
  Win32SerialDevice(UniqueHandle handle, UniqueHandle portName, std::string path, bool overlapped,
                    const platform::COMMTIMEOUTS& timeouts)
      : handle_(std::move(handle)),
        portName_(std::move(portName)),
        path_(std::move(path)),
        overlapped_(overlapped),
        timeouts_(timeouts) {
    if (overlapped_) {
      readEvent_ = win32::NewManualResetEvent();
      writeEvent_ = win32::NewManualResetEvent();
      waitEvent_ = win32::NewManualResetEvent();
    }
  }

  ~Win32SerialDevice() override { ::SetCommMask(handle_.Get(), 0); }

  Win32SerialDevice(const Win32SerialDevice&) = delete;
  Win32SerialDevice& operator=(const Win32SerialDevice&) = delete;

  // False when an event for the overlapped calls could not be made.
  bool Ready() const {
    return !overlapped_ || (readEvent_.Valid() && writeEvent_.Valid() && waitEvent_.Valid());
  }

  const std::string& Path() const override { return path_; }

  SerialResult SetupComm(std::uint32_t inQueue, std::uint32_t outQueue) override {
    return Check(::SetupComm(handle_.Get(), inQueue, outQueue));
  }

  SerialResult Purge(std::uint32_t flags) override {
    return Check(::PurgeComm(handle_.Get(), flags));
  }

  SerialResult GetCommState(DCB& dcb) override {
    ::DCB system{};
    system.DCBlength = sizeof system;
    if (!::GetCommState(handle_.Get(), &system)) return LastFailure();
    dcb = win32::FromSystemDcb(system);
    return Success();
  }

  SerialResult SetCommState(const DCB& dcb) override {
    if (const char* field = win32::CheckFlagWidths(dcb))
      return {SerialStatus::Failed, 0, ERROR_INVALID_PARAMETER,
              std::string(field) + " out of range"};
    ::DCB system = win32::ToSystemDcb(dcb);
    if (!::SetCommState(handle_.Get(), &system)) return LastFailure();
    baudRate_ = dcb.BaudRate;
    return Success();
  }

  SerialResult GetCommTimeouts(COMMTIMEOUTS& timeouts) override {
    ::COMMTIMEOUTS system{};
    if (!::GetCommTimeouts(handle_.Get(), &system)) return LastFailure();
    timeouts = win32::FromSystemTimeouts(system);
    return Success();
  }

  SerialResult SetCommTimeouts(const COMMTIMEOUTS& timeouts) override {
    ::COMMTIMEOUTS system = win32::ToSystemTimeouts(timeouts);
    if (!::SetCommTimeouts(handle_.Get(), &system)) return LastFailure();
    std::lock_guard lock(mutex_);
    timeouts_ = timeouts;
    return Success();
  }

  SerialResult SetDtr(bool on) override {
    return Check(::EscapeCommFunction(handle_.Get(), on ? SETDTR : CLRDTR));
  }
  SerialResult SetRts(bool on) override {
    return Check(::EscapeCommFunction(handle_.Get(), on ? SETRTS : CLRRTS));
  }

  SerialResult Read(std::span<std::uint8_t> buffer) override {
    if (buffer.empty()) return Success();
    const ReadPlan rule = PlanRead(Timeouts(), buffer.size());
    const Clock::time_point start = Clock::now();
    const Deadline total = rule.total ? Deadline(start + *rule.total) : std::nullopt;
    if (!overlapped_) return rule.returnOnAny ? ReadAnySynchronously(buffer) : ReadFileOnce(buffer);
    std::size_t got = 0;
    Clock::time_point lastByte{};
    for (;;) {
      Deadline deadline = total;
      if (got > 0 && rule.interval) {
        const Clock::time_point gap = lastByte + *rule.interval;
        deadline = deadline ? std::min(*deadline, gap) : gap;
      }
      DWORD queued = 0;
      if (SerialResult r = WaitQueued(deadline, queued); !r.ok()) {
        if (r.status == SerialStatus::TimedOut) return Success(got);
        return WithCount(r, got);
      }
      const std::size_t take = std::min<std::size_t>(queued, buffer.size() - got);
      const SerialResult r = ReadFileOnce(buffer.subspan(got, take));
      if (!r.ok()) return WithCount(r, got + r.count);
      if (r.count > 0) lastByte = Clock::now();
      got += r.count;
      if (got == buffer.size() || (rule.returnOnAny && got > 0)) return Success(got);
    }
  }

  SerialResult Write(std::span<const std::uint8_t> data) override {
    std::size_t written = 0;
    while (written < data.size()) {
      const std::span<const std::uint8_t> rest = data.subspan(written);
      const DWORD size = Clamped(rest.size());
      const SerialResult r = Transfer(writeEvent_, [&](DWORD* done, OVERLAPPED* overlapped) {
        return ::WriteFile(handle_.Get(), rest.data(), size, done, overlapped);
      });
      written += r.count;
      if (!r.ok()) return WithCount(r, written);
      if (r.count < size) return TimedOut(written);  // the write total time-out passed
    }
    return Success(written);
  }

  // FlushFileBuffers alone may wait forever on a line that stopped taking bytes, so the output
  // queue is watched until it is empty; the flush then finds nothing left to wait for.
  SerialResult Drain(std::chrono::milliseconds limit) override {
    const Deadline deadline = Clock::now() + limit;
    for (;;) {
      DWORD outgoing = 0;
      if (SerialResult r = QueueStatus(nullptr, &outgoing); !r.ok()) return r;
      if (outgoing == 0) return Check(::FlushFileBuffers(handle_.Get()));
      const DWORD left = MillisecondsLeft(deadline);
      if (left == 0) return TimedOut();
      const DWORD onTheWire = static_cast<DWORD>(
          std::uint64_t{outgoing} * 10'000 / std::max<std::uint32_t>(baudRate_, 1) + 1);
      ::Sleep(std::min(left, onTheWire));
    }
  }

  SerialResult WaitReadable(std::chrono::milliseconds limit) override {
    DWORD queued = 0;
    return WaitQueued(Clock::now() + limit, queued);
  }

  SerialResult WaitArrival(std::chrono::milliseconds limit) override {
    const Deadline deadline = Clock::now() + limit;
    DWORD queued = 0;
    if (SerialResult r = QueueStatus(&queued); !r.ok()) return r;
    if (!arrivalSeen_) {  // the first call: bytes already queued count as arrived
      arrivalSeen_ = true;
      lastQueued_ = queued;
      if (queued > 0) return Success();
    }
    for (;;) {
      const DWORD left = MillisecondsLeft(deadline);
      if (left == 0) return TimedOut();
      if (eventWaitWorks_) {
        SerialResult r = WaitForEvent(left);
        if (r.status != SerialStatus::Unsupported) {
          if (r.ok() && QueueStatus(&queued).ok()) lastQueued_ = queued;
          return r;
        }
        eventWaitWorks_ = false;
      }
      // Without events: an arrival is a queue that grew since it was last looked at.
      if (SerialResult r = QueueStatus(&queued); !r.ok()) return r;
      const bool grew = queued > lastQueued_;
      lastQueued_ = queued;
      if (grew) return Success();
      ::Sleep(std::min(left, kQueuePollMs));
    }
  }

  SerialResult GetLineErrorCounters(LineErrorCounters& counters) override {
    if (SerialResult r = QueueStatus(nullptr); !r.ok()) return r;
    std::lock_guard lock(mutex_);
    counters = counters_;
    return Success();
  }

  SerialResult ClearBreak() override { return Check(::ClearCommBreak(handle_.Get())); }

 private:
  static DWORD Clamped(std::size_t size) {
    return static_cast<DWORD>(std::min<std::size_t>(size, MAXDWORD));
  }

  platform::COMMTIMEOUTS Timeouts() {
    std::lock_guard lock(mutex_);
    return timeouts_;
  }

  // The rules that end a read with its first byte, on the synchronous handle: what is queued,
  // else the first byte under the driver's time-outs and what came with it. (Asking the driver
  // for more than one byte would be the same on Windows, but Wine then waits out the time-out.)
  SerialResult ReadAnySynchronously(std::span<std::uint8_t> buffer) {
    DWORD queued = 0;
    if (SerialResult r = QueueStatus(&queued); !r.ok()) return r;
    if (queued == 0) {
      const SerialResult first = ReadFileOnce(buffer.first(1));
      if (!first.ok() || first.count == 0 || buffer.size() == 1) return first;
      if (SerialResult r = QueueStatus(&queued); !r.ok()) return WithCount(r, first.count);
      const std::size_t more = std::min<std::size_t>(queued, buffer.size() - 1);
      if (more == 0) return first;
      const SerialResult rest = ReadFileOnce(buffer.subspan(1, more));
      return WithCount(rest, first.count + rest.count);
    }
    return ReadFileOnce(buffer.first(std::min<std::size_t>(queued, buffer.size())));
  }

  SerialResult ReadFileOnce(std::span<std::uint8_t> buffer) {
    const DWORD size = Clamped(buffer.size());
    return Transfer(readEvent_, [&](DWORD* done, OVERLAPPED* overlapped) {
      return ::ReadFile(handle_.Get(), buffer.data(), size, done, overlapped);
    });
  }

  // One ReadFile or WriteFile to its end: on a synchronous handle the call itself blocks; on an
  // overlapped one the call's event is waited for.
  template <typename Call>
  SerialResult Transfer(const UniqueHandle& event, Call call) {
    DWORD done = 0;
    if (!overlapped_) {
      if (!call(&done, nullptr)) return LastFailure(done);
      return Success(done);
    }
    OVERLAPPED overlapped{};
    overlapped.hEvent = event.Get();
    if (!call(nullptr, &overlapped) && ::GetLastError() != ERROR_IO_PENDING) return LastFailure();
    if (!::GetOverlappedResult(handle_.Get(), &overlapped, &done, TRUE)) return LastFailure(done);
    return Success(done);
  }

  // The input queue's fill (if asked for) by ClearCommError, which also clears the error flags
  // that the driver latched; they are counted here, once per call that finds them set.
  SerialResult QueueStatus(DWORD* queued, DWORD* outgoing = nullptr) {
    DWORD errors = 0;
    COMSTAT status{};
    if (!::ClearCommError(handle_.Get(), &errors, &status)) return LastFailure();
    if (queued) *queued = status.cbInQue;
    if (outgoing) *outgoing = status.cbOutQue;
    if (errors != 0) {
      std::lock_guard lock(mutex_);
      counters_.frame += (errors & CE_FRAME) ? 1 : 0;
      counters_.overrun += (errors & CE_OVERRUN) ? 1 : 0;
      counters_.parity += (errors & CE_RXPARITY) ? 1 : 0;
      counters_.breaks += (errors & CE_BREAK) ? 1 : 0;
      counters_.bufferOverrun += (errors & CE_RXOVER) ? 1 : 0;
    }
    return Success();
  }

  // Waits until bytes are queued (Ok, `queued` says how many) or the deadline passes.
  // The queue is looked at every few milliseconds rather than through an event wait: a handle
  // has one event wait at a time, and WaitArrival's (the reader thread's) may be running while
  // another thread reads. Two waits at once on one handle end in undefined ways (under Wine, a
  // wait that completes into the stack of a call that has returned).
  SerialResult WaitQueued(const Deadline& deadline, DWORD& queued) {
    for (;;) {
      if (SerialResult r = QueueStatus(&queued); !r.ok()) return r;
      if (queued > 0) return Success();
      const DWORD left = MillisecondsLeft(deadline);
      if (left == 0) return TimedOut();
      ::Sleep(std::min(left, kQueuePollMs));
    }
  }

  // Sleeps until the driver reports a received character (EV_RXCHAR, the mask set at open):
  // Ok, TimedOut after `limit` ms, Unsupported when the driver ended the wait at once without
  // an event (this device cannot wait for events), or another failure.
  // The event wait may never outlive its records on this stack: a wait that has not ended when
  // this returns (the time is up, or the event was signalled before the wait completed) is
  // called off and waited for first. Otherwise the system writes its result into whatever
  // the thread's stack holds by then.
  SerialResult WaitForEvent(DWORD limit) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = waitEvent_.Get();
    ::ResetEvent(waitEvent_.Get());
    DWORD events = 0;
    if (::WaitCommEvent(handle_.Get(), &events, &overlapped)) return Success();
    if (::GetLastError() != ERROR_IO_PENDING) return NoEventWait(::GetLastError());
    const DWORD waitError =
        ::WaitForSingleObject(waitEvent_.Get(), limit) == WAIT_FAILED ? ::GetLastError() : 0;
    DWORD unused = 0;
    if (::GetOverlappedResult(handle_.Get(), &overlapped, &unused, FALSE)) return Success();
    const DWORD error = ::GetLastError();
    if (error != ERROR_IO_INCOMPLETE) return NoEventWait(error);
    ::CancelIoEx(handle_.Get(), &overlapped);
    ::GetOverlappedResult(handle_.Get(), &overlapped, &unused, TRUE);
    return waitError != 0 ? Failure(waitError) : TimedOut();
  }

  static SerialResult NoEventWait(DWORD error) {
    SerialResult r = Failure(error);
    if (error == ERROR_OPERATION_ABORTED || error == ERROR_INVALID_PARAMETER)
      r.status = SerialStatus::Unsupported;
    return r;
  }

  const UniqueHandle handle_;
  const UniqueHandle portName_;  // see HoldPortName
  const std::string path_;
  const bool overlapped_;
  // One event per kind of call, since a read, a write and a wait may run at the same time.
  UniqueHandle readEvent_, writeEvent_, waitEvent_;
  // Used by the one thread that waits for events (see the interface).
  bool eventWaitWorks_ = true;
  bool arrivalSeen_ = false;
  DWORD lastQueued_ = 0;
  // The rate last set, for the time the output queue takes on the wire.
  std::atomic<std::uint32_t> baudRate_{9600};
  std::mutex mutex_;  // guards the two records below
  platform::COMMTIMEOUTS timeouts_;
  LineErrorCounters counters_;
};

OpenResult Refused(DWORD error) {
  OpenResult result;
  result.error = static_cast<int>(error);
  result.text = ErrorText(error);
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_UNIT:
      result.status = OpenStatus::NotFound;
      break;
    // A COM port that another program holds answers an exclusive open with access denied.
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY:
      result.status = OpenStatus::Busy;
      break;
    default:
      result.status = OpenStatus::Failed;
  }
  return result;
}

OpenResult NotASerialDevice() {
  OpenResult result;
  result.status = OpenStatus::NotASerialDevice;
  result.error = ERROR_INVALID_FUNCTION;
  result.text = "not a serial device";
  return result;
}

// Only communications devices are kept open: a file or a pipe under the port's name would
// swallow frames, and a console or NUL is a character device without a line.
bool IsCommunicationsDevice(HANDLE handle) {
  COMMPROP properties{};
  return ::GetFileType(handle) == FILE_TYPE_CHAR && ::GetCommProperties(handle, &properties);
}

OpenResult Open(const std::string& path, bool overlapped) {
  std::optional<UniqueHandle> portName = HoldPortName(path);
  if (!portName) return Refused(ERROR_ACCESS_DENIED);
  UniqueHandle handle(
      ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                    overlapped ? FILE_FLAG_OVERLAPPED : FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!handle.Valid()) return Refused(::GetLastError());
  if (!IsCommunicationsDevice(handle.Get())) return NotASerialDevice();
  ::SetCommMask(handle.Get(), EV_RXCHAR);  // what the waits wait for
  ::COMMTIMEOUTS timeouts{};
  ::GetCommTimeouts(handle.Get(), &timeouts);

  auto device =
      std::make_unique<Win32SerialDevice>(std::move(handle), std::move(*portName), path, overlapped,
                                          win32::FromSystemTimeouts(timeouts));
  if (!device->Ready()) return Refused(::GetLastError());
  OpenResult result;
  result.status = OpenStatus::Opened;
  result.device = std::move(device);
  return result;
}

}  // namespace

OpenResult OpenLocalSerialDevice(const std::string& path) {
  return Open(path, true);
}

OpenResult OpenLocalSerialDeviceSynchronous(const std::string& path) {
  return Open(path, false);
}

}  // namespace vestrel::platform
