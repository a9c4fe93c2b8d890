// Win32 serial devices: the system's communications calls behind serial_device.h.
//
// Two ways of opening: OpenSerialDevice for overlapped I/O (FILE_FLAG_OVERLAPPED), so that a
// reader, a writer and an event wait can be outstanding on the handle at the same time, and
// OpenSerialDeviceSynchronous for the loader's link, which drives the port from one thread with
// plain blocking calls. Reads and writes behave the same either way: the COMMTIMEOUTS govern
// them, exactly as the interface describes, and an overlapped call is waited for to its end.
#include "platform/win32_dcb.h"  // first: see its note on <windows.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <utility>

namespace vestrel::platform {
namespace {

using win32::ErrorText;
using win32::UniqueHandle;
using Clock = std::chrono::steady_clock;

// Errors with which the system reports a device that went away (a USB adapter pulled).
bool IsGoneError(DWORD error) {
  switch (error) {
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

SerialResult LastFailure(std::size_t count = 0) { return Failure(::GetLastError(), count); }

SerialResult Success(std::size_t count = 0) { return {SerialStatus::Ok, count, 0, {}}; }

SerialResult Check(BOOL ok) { return ok ? Success() : LastFailure(); }

SerialResult TimedOut(std::size_t count = 0) {
  return {SerialStatus::TimedOut, count, ERROR_TIMEOUT, ErrorText(ERROR_TIMEOUT)};
}

DWORD MillisecondsLeft(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<DWORD>(std::clamp<decltype(left)>(left, 0, INFINITE - 1));
}

class Win32SerialDevice final : public SerialDevice {
 public:
  Win32SerialDevice(UniqueHandle handle, std::string path, bool overlapped)
      : handle_(std::move(handle)), path_(std::move(path)), overlapped_(overlapped) {
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
    return Check(::SetCommState(handle_.Get(), &system));
  }

  SerialResult GetCommTimeouts(COMMTIMEOUTS& timeouts) override {
    ::COMMTIMEOUTS system{};
    if (!::GetCommTimeouts(handle_.Get(), &system)) return LastFailure();
    timeouts = win32::FromSystemTimeouts(system);
    return Success();
  }

  SerialResult SetCommTimeouts(const COMMTIMEOUTS& timeouts) override {
    ::COMMTIMEOUTS system = win32::ToSystemTimeouts(timeouts);
    return Check(::SetCommTimeouts(handle_.Get(), &system));
  }

  SerialResult SetDtr(bool on) override {
    return Check(::EscapeCommFunction(handle_.Get(), on ? SETDTR : CLRDTR));
  }
  SerialResult SetRts(bool on) override {
    return Check(::EscapeCommFunction(handle_.Get(), on ? SETRTS : CLRRTS));
  }

  SerialResult Read(std::span<std::uint8_t> buffer) override {
    if (buffer.empty()) return Success();
    const DWORD size = Clamped(buffer.size());
    return Transfer(readEvent_, [&](DWORD* done, OVERLAPPED* overlapped) {
      return ::ReadFile(handle_.Get(), buffer.data(), size, done, overlapped);
    });
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

  SerialResult Drain() override { return Check(::FlushFileBuffers(handle_.Get())); }

  SerialResult WaitReadable(std::chrono::milliseconds limit) override {
    const auto deadline = Clock::now() + limit;
    for (;;) {
      DWORD queued = 0;
      if (SerialResult r = QueueStatus(&queued); !r.ok()) return r;
      if (queued > 0) return Success();
      const DWORD left = MillisecondsLeft(deadline);
      if (left == 0) return TimedOut();
      if (SerialResult r = WaitForEvent(left); !r.ok() && r.status != SerialStatus::TimedOut)
        return r;
    }
  }

  SerialResult GetLineErrorCounters(LineErrorCounters& counters) override {
    if (SerialResult r = QueueStatus(nullptr); !r.ok()) return r;
    std::lock_guard lock(countersMutex_);
    counters = counters_;
    return Success();
  }

  SerialResult ClearBreak() override { return Check(::ClearCommBreak(handle_.Get())); }

 private:
  static DWORD Clamped(std::size_t size) {
    return static_cast<DWORD>(std::min<std::size_t>(size, MAXDWORD));
  }

  static SerialResult WithCount(SerialResult r, std::size_t count) {
    r.count = count;
    return r;
  }

  // One ReadFile or WriteFile to its end: on a synchronous handle the call itself blocks; on an
  // overlapped one the call's event is waited for. Either way the time-outs end it.
  template <typename Call>
  SerialResult Transfer(const UniqueHandle& event, Call call) {
    DWORD done = 0;
    if (!overlapped_) {
      if (!call(&done, nullptr)) return LastFailure(done);
      return Success(done);
    }
    OVERLAPPED overlapped{};
    overlapped.hEvent = event.Get();
    if (!call(nullptr, &overlapped) && ::GetLastError() != ERROR_IO_PENDING)
      return LastFailure();
    if (!::GetOverlappedResult(handle_.Get(), &overlapped, &done, TRUE))
      return LastFailure(done);
    return Success(done);
  }

  // The input queue's fill (if asked for) by ClearCommError, which also clears the error flags
  // that the driver latched; they are counted here, once per call that finds them set.
  SerialResult QueueStatus(DWORD* queued) {
    DWORD errors = 0;
    COMSTAT status{};
    if (!::ClearCommError(handle_.Get(), &errors, &status)) return LastFailure();
    if (queued) *queued = status.cbInQue;
    if (errors != 0) {
      std::lock_guard lock(countersMutex_);
      counters_.frame += (errors & CE_FRAME) ? 1 : 0;
      counters_.overrun += (errors & CE_OVERRUN) ? 1 : 0;
      counters_.parity += (errors & CE_RXPARITY) ? 1 : 0;
      counters_.breaks += (errors & CE_BREAK) ? 1 : 0;
      counters_.bufferOverrun += (errors & CE_RXOVER) ? 1 : 0;
    }
    return Success();
  }

  // Sleeps until the driver reports a received character (EV_RXCHAR, the mask set at open) or
  // `limit` ms pass. A synchronous handle cannot bound WaitCommEvent, so there the queue is
  // looked at again after a short pause instead.
  SerialResult WaitForEvent(DWORD limit) {
    if (!overlapped_) {
      ::Sleep(std::min<DWORD>(limit, kSynchronousPollMs));
      return Success();
    }
    OVERLAPPED overlapped{};
    overlapped.hEvent = waitEvent_.Get();
    DWORD events = 0;
    if (::WaitCommEvent(handle_.Get(), &events, &overlapped)) return Success();
    if (::GetLastError() != ERROR_IO_PENDING) return LastFailure();
    DWORD unused = 0;
    if (::WaitForSingleObject(waitEvent_.Get(), limit) == WAIT_TIMEOUT) {
      // The wait must have ended before its record goes out of scope.
      ::CancelIoEx(handle_.Get(), &overlapped);
      ::GetOverlappedResult(handle_.Get(), &overlapped, &unused, TRUE);
      return TimedOut();
    }
    if (!::GetOverlappedResult(handle_.Get(), &overlapped, &unused, FALSE)) return LastFailure();
    return Success();
  }

  static constexpr DWORD kSynchronousPollMs = 2;

  const UniqueHandle handle_;
  const std::string path_;
  const bool overlapped_;
  // One event per kind of call, since a read, a write and a wait may run at the same time.
  UniqueHandle readEvent_, writeEvent_, waitEvent_;
  std::mutex countersMutex_;
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
  UniqueHandle handle(::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING,
                                    overlapped ? FILE_FLAG_OVERLAPPED : FILE_ATTRIBUTE_NORMAL,
                                    nullptr));
  if (!handle.Valid()) return Refused(::GetLastError());
  if (!IsCommunicationsDevice(handle.Get())) return NotASerialDevice();
  ::SetCommMask(handle.Get(), EV_RXCHAR);  // what WaitReadable waits for

  auto device = std::make_unique<Win32SerialDevice>(std::move(handle), path, overlapped);
  if (!device->Ready()) return Refused(::GetLastError());
  OpenResult result;
  result.status = OpenStatus::Opened;
  result.device = std::move(device);
  return result;
}

}  // namespace

OpenResult OpenSerialDevice(const std::string& path) { return Open(path, true); }

OpenResult OpenSerialDeviceSynchronous(const std::string& path) { return Open(path, false); }

}  // namespace vestrel::platform
