// The record file through CreateFileA, ReadFile and WriteFile, shared with nobody (share mode 0)
// for the moment of one access.
// <windows.h> after the layer's headers (see win32_dcb.h).
// clang-format off
#include "platform/record_file.h"
#include "platform/win32_support.h"
// clang-format on

#include <algorithm>

namespace vestrel::platform {
namespace {

using win32::UniqueHandle;

// The file open for reading and writing; invalid when it cannot be opened or is no disk file.
UniqueHandle OpenRecordFile(const std::string& name, DWORD disposition) {
  UniqueHandle file(::CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.Valid() && ::GetFileType(file.Get()) != FILE_TYPE_DISK) file.Reset();
  return file;
}

DWORD ChunkOf(std::size_t size) {
  return static_cast<DWORD>(std::min<std::size_t>(size, 1u << 20));
}

}  // namespace

std::optional<std::size_t> ReadRecordFile(const std::string& name, std::span<std::uint8_t> bytes) {
  const UniqueHandle file = OpenRecordFile(name, OPEN_EXISTING);
  if (!file.Valid()) return std::nullopt;
  std::size_t got = 0;
  while (got < bytes.size()) {
    DWORD n = 0;
    if (!::ReadFile(file.Get(), bytes.data() + got, ChunkOf(bytes.size() - got), &n, nullptr) ||
        n == 0)
      break;
    got += n;
  }
  return got;
}

bool WriteRecordFile(const std::string& name, std::span<const std::uint8_t> bytes) {
  UniqueHandle file = OpenRecordFile(name, OPEN_ALWAYS);  // OPEN_ALWAYS does not truncate
  if (!file.Valid()) return false;
  std::size_t put = 0;
  while (put < bytes.size()) {
    DWORD n = 0;
    if (!::WriteFile(file.Get(), bytes.data() + put, ChunkOf(bytes.size() - put), &n, nullptr) ||
        n == 0)
      break;
    put += n;
  }
  const bool closed = ::CloseHandle(file.Release()) != 0;
  return put == bytes.size() && closed;
}

}  // namespace vestrel::platform
