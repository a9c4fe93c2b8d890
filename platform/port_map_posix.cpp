#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <tuple>

#include "platform/port_map.h"
#include "platform/remote_port.h"

namespace vestrel::platform {
namespace {

namespace fs = std::filesystem;

std::string ReadLine(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  while (!line.empty() && (line.back() == ' ' || line.back() == '\r')) line.pop_back();
  return line;
}

std::string Canonical(const fs::path& path) {
  std::error_code ec;
  fs::path real = fs::canonical(path, ec);
  return ec ? std::string() : real.string();
}

// The sysfs folder of the USB device above a tty (the one with idVendor), or empty.
fs::path UsbDeviceFolder(const SystemPaths& system, const std::string& kernelName) {
  std::string device = Canonical(fs::path(system.sysClassTty) / kernelName / "device");
  if (device.empty()) return {};
  fs::path dir(device);
  for (int up = 0; up < 6 && dir.has_relative_path(); ++up, dir = dir.parent_path())
    if (fs::exists(dir / "idVendor")) return dir;
  return {};
}

// "Manufacturer Product (vvvv:pppp, serial S)" of the USB device above a tty, if there is one.
std::string UsbDescription(const SystemPaths& system, const std::string& kernelName) {
  const fs::path dir = UsbDeviceFolder(system, kernelName);
  if (dir.empty()) return {};
  std::string text = ReadLine(dir / "manufacturer");
  const std::string product = ReadLine(dir / "product");
  if (!product.empty()) text += (text.empty() ? "" : " ") + product;
  std::string ids = ReadLine(dir / "idVendor") + ":" + ReadLine(dir / "idProduct");
  const std::string serial = ReadLine(dir / "serial");
  if (!serial.empty()) ids += ", serial " + serial;
  return text.empty() ? "USB " + ids : text + " (" + ids + ")";
}

// The kernel name of a device path under /dev (after symlinks), or empty.
std::string KernelNameOf(const SystemPaths& system, const std::string& resolved) {
  const std::string prefix = Canonical(system.dev) + "/";
  if (resolved.size() <= prefix.size() || resolved.compare(0, prefix.size(), prefix) != 0)
    return {};
  return fs::path(resolved).filename().string();
}

// Orders "ttyS2" before "ttyS10": by the name without its trailing digits, then the number.
std::tuple<std::string, unsigned long, std::string> NaturalKey(const std::string& name) {
  std::size_t digits = name.size();
  while (digits > 0 && name[digits - 1] >= '0' && name[digits - 1] <= '9') --digits;
  const std::string number = name.substr(digits);
  const unsigned long value = number.empty() || number.size() > 9 ? 0 : std::stoul(number);
  return {name.substr(0, digits), value, name};
}

struct Candidate {
  std::string name;
  bool usb = false;
  std::string byId;  // its /dev/serial/by-id name; empty if none
};

std::map<std::string, std::string> ByIdNames(const SystemPaths& system) {
  std::map<std::string, std::string> names;  // kernel name -> first by-id name
  std::error_code ec;
  std::vector<std::string> links;
  for (const auto& entry : fs::directory_iterator(system.serialById, ec))
    links.push_back(entry.path().filename().string());
  std::sort(links.begin(), links.end());
  for (const std::string& link : links) {
    const std::string target = Canonical(fs::path(system.serialById) / link);
    if (!target.empty()) names.emplace(fs::path(target).filename().string(), link);
  }
  return names;
}

std::vector<Candidate> SerialDevicesPresent(const SystemPaths& system) {
  const std::map<std::string, std::string> byId = ByIdNames(system);
  std::vector<Candidate> found;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(system.sysClassTty, ec)) {
    const std::string name = entry.path().filename().string();
    const std::string device = Canonical(entry.path() / "device");
    if (device.empty()) continue;  // virtual terminals, pseudo-terminals, the console
    Candidate c{name, device.find("/usb") != std::string::npos, {}};
    if (!c.usb && name.rfind("ttyS", 0) == 0) {
      const std::string type = ReadLine(entry.path() / "type");
      if (type.empty() || type == "0") continue;  // no UART behind the node
    }
    if (auto it = byId.find(name); it != byId.end()) c.byId = it->second;
    found.push_back(std::move(c));
  }
  std::sort(found.begin(), found.end(), [](const Candidate& a, const Candidate& b) {
    if (a.usb != b.usb) return a.usb;
    if (a.byId.empty() != b.byId.empty()) return !a.byId.empty();
    if (a.byId != b.byId) return a.byId < b.byId;
    return NaturalKey(a.name) < NaturalKey(b.name);
  });
  if (found.size() > kMaxPortNumber) found.resize(kMaxPortNumber);
  return found;
}

std::string HomeDirectory() {
  if (const char* home = std::getenv("HOME"); home && *home) return home;
  if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) return pw->pw_dir;
  return {};
}

// The USB device folder of the adapter behind a device path, or empty.
fs::path AdapterFolder(const std::string& devicePath, const SystemPaths& system) {
  const std::string kernelName = KernelNameOf(system, Canonical(devicePath));
  return kernelName.empty() ? fs::path() : UsbDeviceFolder(system, kernelName);
}

}  // namespace

std::string UsbSerialNumber(const std::string& devicePath, const SystemPaths& system) {
  const fs::path dir = AdapterFolder(devicePath, system);
  return dir.empty() ? std::string() : ReadLine(dir / "serial");
}

std::string UsbIdOf(const std::string& devicePath, const SystemPaths& system) {
  const fs::path dir = AdapterFolder(devicePath, system);
  return dir.empty() ? std::string()
                     : ReadLine(dir / "idVendor") + ":" + ReadLine(dir / "idProduct");
}

const char* PortMapSummary() {
  return "($VESTREL_PORT_DIR/comN,\n~/.config/vestrel/ports/comN, or the serial devices present)";
}

PortMap PortMap::FromEnvironment(const SystemPaths& system) {
  if (const char* dir = std::getenv("VESTREL_PORT_DIR"); dir && *dir)
    return FromDirectory(dir, PortMapSource::PortDirectory, system);
  if (const std::string home = HomeDirectory(); !home.empty()) {
    const fs::path user = fs::path(home) / ".config" / "vestrel" / "ports";
    std::error_code ec;
    if (fs::is_directory(user, ec))
      return FromDirectory(user.string(), PortMapSource::UserPortDirectory, system);
  }
  return Automatic(system);
}

PortMap PortMap::Automatic(const SystemPaths& system) {
  PortMap map(PortMapSource::Automatic, {}, system);
  unsigned number = 0;
  for (const Candidate& c : SerialDevicesPresent(system)) {
    PortMapEntry entry;
    entry.number = ++number;
    entry.devicePath = (fs::path(system.dev) / c.name).string();
    entry.resolvedPath = Canonical(entry.devicePath);
    entry.description = UsbDescription(system, c.name);
    map.automatic_.push_back(std::move(entry));
  }
  return map;
}

std::optional<std::string> PortMap::DevicePath(unsigned number) const {
  if (number < 1 || number > kMaxPortNumber) return std::nullopt;
  if (source_ != PortMapSource::Automatic)
    return (fs::path(directory_) / ("com" + std::to_string(number))).string();
  if (number > automatic_.size()) return std::nullopt;
  return automatic_[number - 1].devicePath;
}

std::vector<PortMapEntry> PortMap::Entries() const {
  if (source_ == PortMapSource::Automatic) return automatic_;
  std::vector<PortMapEntry> entries;
  std::error_code ec;
  for (const auto& item : fs::directory_iterator(directory_, ec)) {
    const unsigned number = PortEntryNumber(item.path().filename().string());
    if (number == 0) continue;
    PortMapEntry entry;
    entry.number = number;
    entry.devicePath = item.path().string();
    const std::optional<RemotePortUrl> remote = RemotePortOf(entry.devicePath);
    entry.resolvedPath = remote ? remote->Text() : Canonical(item.path());
    const std::string kernelName = KernelNameOf(system_, entry.resolvedPath);
    if (!kernelName.empty()) entry.description = UsbDescription(system_, kernelName);
    entries.push_back(std::move(entry));
  }
  std::sort(entries.begin(), entries.end(),
            [](const PortMapEntry& a, const PortMapEntry& b) { return a.number < b.number; });
  return entries;
}

}  // namespace vestrel::platform
