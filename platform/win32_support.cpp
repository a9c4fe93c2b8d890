#include "platform/win32_support.h"

namespace vestrel::platform::win32 {

std::string ErrorText(DWORD error) {
  char* buffer = nullptr;
  const DWORD flags =
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
  const DWORD length =
      ::FormatMessageA(flags, nullptr, error, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                       reinterpret_cast<char*>(&buffer), 0, nullptr);
  std::string text = length > 0 && buffer ? std::string(buffer, length) : std::string();
  ::LocalFree(buffer);
  while (!text.empty() &&
         (text.back() == '\r' || text.back() == '\n' || text.back() == ' ' || text.back() == '.'))
    text.pop_back();
  if (text.empty()) text = "error " + std::to_string(error);
  return text;
}

UniqueHandle NewManualResetEvent() {
  return UniqueHandle(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
}

}  // namespace vestrel::platform::win32
