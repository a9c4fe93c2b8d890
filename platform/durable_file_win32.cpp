// <windows.h> after the layer's headers (see win32_dcb.h).
// clang-format off
#include "platform/durable_file.h"
#include "platform/win32_support.h"
// clang-format on

namespace vestrel::platform {
namespace {

// A lock far beyond any real file's end: it keeps a second station out without blocking
// readers, which Windows would refuse inside a locked range.
constexpr DWORD kLockOffsetHigh = 0x40000000;

std::string Why(const std::string& what) {
  return what + ": " + win32::ErrorText(::GetLastError());
}

bool WriteAll(HANDLE file, std::string_view text) {
  while (!text.empty()) {
    DWORD written = 0;
    if (!::WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) ||
        written == 0)
      return false;
    text.remove_prefix(written);
  }
  return true;
}

}  // namespace

std::string ReplaceFileDurably(const std::string& path, std::string_view text) {
  const std::string temporary = path + ".tmp";
  HANDLE file = ::CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return Why("cannot create " + temporary);
  const bool written = WriteAll(file, text) && ::FlushFileBuffers(file);
  const std::string why = written ? std::string() : Why("cannot write " + temporary);
  ::CloseHandle(file);
  if (!written) {
    ::DeleteFileA(temporary.c_str());
    return why;
  }
  if (!::MoveFileExA(temporary.c_str(), path.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return Why("cannot replace " + path);
  return {};
}

AppendFile::~AppendFile() {
  if (handle_ != -1) ::CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

std::string AppendFile::Open(const std::string& path) {
  path_ = path;
  HANDLE file = ::CreateFileA(path.c_str(), FILE_APPEND_DATA | GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return Why("cannot open " + path);
  OVERLAPPED at{};
  at.OffsetHigh = kLockOffsetHigh;
  if (!::LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
    ::CloseHandle(file);
    return path + " is held by another program (another station?)";
  }
  LARGE_INTEGER size{};
  ::GetFileSizeEx(file, &size);
  sizeAtOpen_ = static_cast<std::uint64_t>(size.QuadPart);
  handle_ = reinterpret_cast<std::intptr_t>(file);
  return {};
}

std::string AppendFile::Append(std::string_view text) {
  if (handle_ == -1) return path_ + " is not open";
  HANDLE file = reinterpret_cast<HANDLE>(handle_);
  LARGE_INTEGER before{};
  ::GetFileSizeEx(file, &before);
  if (WriteAll(file, text) && ::FlushFileBuffers(file)) return {};
  const std::string why = Why("cannot write " + path_);
  // Cut the half row off again (the handle appends, so SetEndOfFile needs the position).
  if (::SetFilePointerEx(file, before, nullptr, FILE_BEGIN)) ::SetEndOfFile(file);
  return why;
}

}  // namespace vestrel::platform
