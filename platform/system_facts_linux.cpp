#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "platform/port_map.h"
#include "platform/system_facts.h"

namespace vestrel::platform {
namespace {

namespace fs = std::filesystem;

std::string ReadFirstLine(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return line;
}

std::string GroupName(gid_t gid) {
  const group* g = ::getgrgid(gid);
  return g ? g->gr_name : std::to_string(gid);
}

UserFacts User() {
  UserFacts user;
  user.administrator = ::geteuid() == 0;
  const passwd* pw = ::getpwuid(::geteuid());
  user.name = pw ? pw->pw_name : std::to_string(::geteuid());
  std::vector<gid_t> groups(static_cast<std::size_t>(std::max(::getgroups(0, nullptr), 0)));
  const int count = ::getgroups(static_cast<int>(groups.size()), groups.data());
  groups.resize(static_cast<std::size_t>(std::max(count, 0)));
  groups.push_back(::getegid());
  for (const gid_t gid : groups) user.sessionGroups.push_back(GroupName(gid));
  if (pw) {
    int n = 64;
    std::vector<gid_t> account(static_cast<std::size_t>(n));
    if (::getgrouplist(pw->pw_name, pw->pw_gid, account.data(), &n) >= 0) {
      account.resize(static_cast<std::size_t>(n));
      for (const gid_t gid : account) user.accountGroups.push_back(GroupName(gid));
    }
  }
  return user;
}

// The command names of all processes, by pid.
std::vector<ProcessHolder> Processes() {
  std::vector<ProcessHolder> processes;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/proc", ec)) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    processes.push_back({std::stoi(name), ReadFirstLine(entry.path() / "comm")});
  }
  return processes;
}

bool Running(const std::vector<ProcessHolder>& processes, const std::string& name) {
  return std::any_of(processes.begin(), processes.end(),
                     [&](const ProcessHolder& p) { return p.name == name; });
}

// The known adapters that brltty's udev rules claim (vendor and product on one rule line).
std::vector<std::string> BrlttyClaims() {
  std::set<std::string> claims;
  for (const char* folder : {"/usr/lib/udev/rules.d", "/lib/udev/rules.d", "/etc/udev/rules.d"}) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec)) {
      if (entry.path().filename().string().find("brltty") == std::string::npos) continue;
      std::ifstream in(entry.path());
      for (std::string line; std::getline(in, line);) {
        std::transform(line.begin(), line.end(), line.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        for (const UsbAdapter& adapter : KnownAdapters()) {
          const std::string vendor = adapter.id.substr(0, 4), product = adapter.id.substr(5);
          if (line.find("\"" + vendor + "\"") != std::string::npos &&
              line.find("\"" + product + "\"") != std::string::npos)
            claims.insert(adapter.id + " " + adapter.name);
        }
      }
    }
  }
  return {claims.begin(), claims.end()};
}

// Known adapters plugged in, with the driver their first interface has.
std::vector<UsbAdapter> Adapters() {
  std::vector<UsbAdapter> found;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/sys/bus/usb/devices", ec)) {
    const std::string id =
        ReadFirstLine(entry.path() / "idVendor") + ":" + ReadFirstLine(entry.path() / "idProduct");
    const auto known = std::find_if(KnownAdapters().begin(), KnownAdapters().end(),
                                    [&](const UsbAdapter& a) { return a.id == id; });
    if (known == KnownAdapters().end()) continue;
    UsbAdapter adapter = *known;
    const std::string name = entry.path().filename().string();
    for (const auto& sub : fs::directory_iterator(entry.path(), ec)) {
      if (sub.path().filename().string().rfind(name + ":", 0) != 0) continue;
      const fs::path driver = fs::read_symlink(sub.path() / "driver", ec);
      if (!ec) adapter.bound = driver.filename().string();
      break;
    }
    found.push_back(adapter);
  }
  return found;
}

std::vector<ProcessHolder> Named(std::set<int> pids) {
  pids.erase(static_cast<int>(::getpid()));
  std::vector<ProcessHolder> named;
  for (const int pid : pids)
    named.push_back({pid, ReadFirstLine(fs::path("/proc") / std::to_string(pid) / "comm")});
  return named;
}

// Processes other than this one that lock the device (/proc/locks, readable by everyone) or
// have it open (their /proc/PID/fd, readable for one's own processes, or as root).
void FindHolders(PortFacts& port, const struct stat& node) {
  std::set<int> lockers, openers;
  std::ifstream locks("/proc/locks");
  for (std::string line; std::getline(locks, line);) {
    std::istringstream fields(line);
    std::string number, kind, mode, access, pid, where;
    fields >> number >> kind >> mode >> access >> pid >> where;
    if (kind == "->") continue;  // a waiter
    unsigned major = 0, minor = 0;
    unsigned long inode = 0;
    if (std::sscanf(where.c_str(), "%x:%x:%lu", &major, &minor, &inode) == 3 &&
        major == ::major(node.st_dev) && minor == ::minor(node.st_dev) && inode == node.st_ino)
      lockers.insert(std::atoi(pid.c_str()));
  }
  std::error_code ec;
  for (const ProcessHolder& process : Processes()) {
    fs::directory_iterator fds(fs::path("/proc") / std::to_string(process.pid) / "fd", ec);
    if (ec) {
      port.openersComplete = false;
      continue;
    }
    for (const auto& fd : fds) {
      std::error_code linkError;
      if (fs::read_symlink(fd.path(), linkError).string() == port.device)
        openers.insert(process.pid);
    }
  }
  port.lockers = Named(lockers);
  port.openers = Named(openers);
}

}  // namespace

SystemFacts GatherSystemFacts() {
  SystemFacts facts;
  facts.user = User();
  facts.serialGroup = ::getgrnam("dialout") ? "dialout" : ::getgrnam("uucp") ? "uucp" : "";
  std::error_code ec;
  for (const char* program : {"/usr/bin/brltty", "/bin/brltty", "/usr/sbin/brltty"})
    facts.brlttyInstalled |= fs::exists(program, ec);
  if (facts.brlttyInstalled) facts.brlttyClaims = BrlttyClaims();
  facts.modemManagerRunning = Running(Processes(), "ModemManager");
  facts.adapters = Adapters();
  return facts;
}

PortFacts GatherPortFacts(const std::string& path) {
  PortFacts port;
  port.path = path;
  std::error_code ec;
  const fs::path device = fs::canonical(path, ec);
  struct stat node {};
  if (ec || ::stat(device.c_str(), &node) != 0) return port;
  port.device = device.string();
  port.isTerminal = S_ISCHR(node.st_mode);
  port.group = GroupName(node.st_gid);
  port.groupMayOpen = (node.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
  port.othersMayOpen = (node.st_mode & (S_IROTH | S_IWOTH)) == (S_IROTH | S_IWOTH);
  if (!port.isTerminal) return port;
  port.kernelName = device.filename().string();
  const fs::path sys = fs::path("/sys/class/tty") / port.kernelName;
  const fs::path driver = fs::read_symlink(sys / "device" / "driver", ec);
  if (!ec) port.driver = driver.filename().string();
  port.usbId = UsbIdOf(port.device);
  const std::string latency =
      ReadFirstLine(fs::path("/sys/bus/usb-serial/devices") / port.kernelName / "latency_timer");
  if (!latency.empty()) port.latencyMs = std::atoi(latency.c_str());
  FindHolders(port, node);
  return port;
}

}  // namespace vestrel::platform
