// The port map on Windows: port n is the device \\.\COMn, the form that opens every port
// number (COM10 and above have no plain "COMn" file name).
// <windows.h> after the layer's headers (see win32_dcb.h).
// clang-format off
#include "platform/port_map.h"
#include "platform/remote_port.h"
#include "platform/serial_device.h"
#include "platform/win32_support.h"
// clang-format on

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace vestrel::platform {
namespace {

namespace fs = std::filesystem;

std::string SystemDevicePath(unsigned number) {
  return "\\\\.\\COM" + std::to_string(number);
}

// The system's device behind "COMn" (\Device\Serial0, ...), or empty where the system names
// none (Wine, for one, gives no name for a port that a test links to a pseudo-terminal).
std::string DosDeviceTarget(unsigned number) {
  const std::string name = PortDisplayName(number);
  char target[1024] = {};
  if (::QueryDosDeviceA(name.c_str(), target, sizeof target) == 0) return {};
  return target;  // the first of the NUL-separated names is the one in force
}

// The ports that exist: those an exclusive open finds, free or held, as the port scan decides.
std::vector<PortMapEntry> SystemEntries() {
  std::vector<PortMapEntry> entries;
  for (unsigned number = 1; number <= kMaxPortNumber; ++number) {
    const std::string path = SystemDevicePath(number);
    if (ClassifyPort(path) == PortState::Absent) continue;
    std::string target = DosDeviceTarget(number);
    entries.push_back({number, path, target.empty() ? path : std::move(target), {}});
  }
  return entries;
}

std::vector<PortMapEntry> DirectoryEntries(const std::string& directory) {
  std::vector<PortMapEntry> entries;
  std::error_code ec;
  for (const auto& item : fs::directory_iterator(directory, ec)) {
    const unsigned number = PortEntryNumber(item.path().filename().string());
    if (number == 0) continue;
    const std::string path = item.path().string();
    const std::optional<RemotePortUrl> remote = RemotePortOf(path);
    entries.push_back({number, path, remote ? remote->Text() : path, {}});
  }
  std::sort(entries.begin(), entries.end(),
            [](const PortMapEntry& a, const PortMapEntry& b) { return a.number < b.number; });
  return entries;
}

}  // namespace

// The system's COM names carry no adapter serial numbers or ids.
std::string UsbSerialNumber(const std::string&, const SystemPaths&) {
  return {};
}

std::string UsbIdOf(const std::string&, const SystemPaths&) {
  return {};
}

const char* PortMapSummary() {
  return "(\\\\.\\COMn, the system's COM ports)";
}

PortMap PortMap::FromEnvironment(const SystemPaths& system) {
  return Automatic(system);
}

PortMap PortMap::Automatic(const SystemPaths& system) {
  return PortMap(PortMapSource::System, {}, system);
}

std::optional<std::string> PortMap::DevicePath(unsigned number) const {
  if (number < 1 || number > kMaxPortNumber) return std::nullopt;
  if (source_ == PortMapSource::System) return SystemDevicePath(number);
  return (fs::path(directory_) / ("com" + std::to_string(number))).string();
}

std::vector<PortMapEntry> PortMap::Entries() const {
  if (source_ == PortMapSource::System) return SystemEntries();
  return DirectoryEntries(directory_);
}

}  // namespace vestrel::platform
