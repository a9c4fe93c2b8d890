// <windows.h> after the layer's headers (see win32_dcb.h).
// clang-format off
#include "platform/port_watch.h"
#include "platform/win32_support.h"
// clang-format on

#include <algorithm>
#include <cctype>
#include <cstring>
#include <set>
#include <thread>

namespace vestrel::platform {
namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(500);

// "COM3" against "COM*" or "com?": * and ? as in a file name, letters in any case.
bool Matches(const char* name, const char* pattern) {
  if (*pattern == '\0') return *name == '\0';
  if (*pattern == '*') return Matches(name, pattern + 1) || (*name && Matches(name + 1, pattern));
  if (*name == '\0') return false;
  const bool same = *pattern == '?' || std::toupper(static_cast<unsigned char>(*name)) ==
                                           std::toupper(static_cast<unsigned char>(*pattern));
  return same && Matches(name + 1, pattern + 1);
}

// The COM names that the system knows now (its DOS device names COM1, COM2, ...).
std::vector<std::string> SystemComNames() {
  std::vector<char> names(64 * 1024);
  const DWORD length = ::QueryDosDeviceA(nullptr, names.data(), static_cast<DWORD>(names.size()));
  std::vector<std::string> com;
  for (const char* name = names.data(); length && *name; name += std::strlen(name) + 1)
    if (Matches(name, "COM*")) com.emplace_back(name);
  return com;
}

class PollingPortWatch final : public PortWatch {
 public:
  void Wait(std::chrono::milliseconds limit) override {
    std::this_thread::sleep_for(std::min(limit, std::chrono::milliseconds(kPollInterval)));
  }
  std::string Method() const override { return "polling every 0.5 s"; }
};

}  // namespace

// Ports are named as the system opens every one of them (\\.\COMn); patterns may leave the
// prefix out.
std::vector<std::string> PresentPorts(const std::vector<std::string>& patterns) {
  const std::string prefix = "\\\\.\\";
  std::set<std::string> present;
  for (const std::string& name : SystemComNames()) {
    for (std::string pattern : patterns) {
      if (pattern.compare(0, prefix.size(), prefix) == 0) pattern.erase(0, prefix.size());
      if (Matches(name.c_str(), pattern.c_str())) present.insert(prefix + name);
    }
  }
  return {present.begin(), present.end()};
}

std::unique_ptr<PortWatch> WatchPorts(const std::vector<std::string>&) {
  return std::make_unique<PollingPortWatch>();
}

}  // namespace vestrel::platform
