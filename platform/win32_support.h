// Small helpers of the Win32 implementation files: owned handles and the system's error texts.
// Included only by the *_win32.cpp files, after the layer's own headers (see serial_win32.cpp).
#pragma once

#include <windows.h>

#include <string>

namespace vestrel::platform::win32 {

// The system's text for an error code (FormatMessage), without the trailing full stop and line
// break, so that callers can place it inside a sentence; "error N" where the system has none.
std::string ErrorText(DWORD error);

// A handle closed when the owner goes; `Valid` tells INVALID_HANDLE_VALUE and null apart from
// a real handle, since CreateFileA and CreateEventA fail with different values.
class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(HANDLE handle) : handle_(handle) {}
  ~UniqueHandle() { Reset(); }
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.Release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) {
      Reset();
      handle_ = other.Release();
    }
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;

  HANDLE Get() const { return handle_; }
  bool Valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
  HANDLE Release() {
    HANDLE h = handle_;
    handle_ = INVALID_HANDLE_VALUE;
    return h;
  }
  void Reset() {
    if (Valid()) ::CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
  }

 private:
  HANDLE handle_ = INVALID_HANDLE_VALUE;
};

// A manual-reset event that starts non-signalled, for one kind of overlapped call.
UniqueHandle NewManualResetEvent();

}  // namespace vestrel::platform::win32
