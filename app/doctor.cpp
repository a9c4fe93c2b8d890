#include "app/doctor.h"

#include <algorithm>

#include "app/gang_load.h"

namespace vestrel::app {
namespace {

bool Has(const std::vector<std::string>& names, const std::string& name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

// The user may open a device of `group` (root may open any).
bool MayOpen(const platform::UserFacts& user, const std::string& group) {
  return user.administrator || Has(user.sessionGroups, group);
}

// Not in the group, or in it only from the next login on.
std::optional<Finding> GroupFinding(const platform::UserFacts& user, const std::string& group,
                                    const std::string& what) {
  if (group.empty() || MayOpen(user, group)) return std::nullopt;
  if (Has(user.accountGroups, group))
    return Finding{true,
                   "You (" + user.name + ") were added to the group " + group + " that " + what +
                       ", but this session began before: log out and in again",
                   "newgrp " + group + "   # in this shell until then"};
  return Finding{true, "You (" + user.name + ") are not in the group " + group + " that " + what,
                 "sudo adduser " + user.name + " " + group + "   # then log out and in again"};
}

// A Windows device name says which driver serves the port.
std::string WindowsDriver(const std::string& device) {
  const std::pair<const char*, const char*> drivers[] = {
      {"\\Device\\VCP", "FTDI's VCP driver"},
      {"\\Device\\Silabser", "Silicon Labs' CP210x driver"},
      {"\\Device\\USBSER", "Windows' USB serial driver (usbser)"},
      {"\\Device\\CH341SER", "WCH's CH340 driver"},
      {"\\Device\\ProlificSerial", "Prolific's PL2303 driver"},
      {"\\Device\\Serial", "Windows' serial port driver"}};
  for (const auto& [prefix, name] : drivers)
    if (device.rfind(prefix, 0) == 0) return name;
  return {};
}

std::string Holder(const platform::ProcessHolder& holder) {
  return "process " + std::to_string(holder.pid) + " (" + holder.name + ")";
}

// A port that does not open is held by whoever locks it, else by one of those that have it
// open; on a port that opens, others that have it open are only worth a note.
void JudgeHolders(const platform::PortFacts& port, const std::optional<PortProbe>& probe,
                  std::vector<Finding>& findings) {
  const bool busy = probe && probe->open == platform::OpenStatus::Busy;
  const auto& holders = busy && !port.lockers.empty() ? port.lockers : port.openers;
  for (const platform::ProcessHolder& holder : holders) {
    if (busy)
      findings.push_back({true, port.path + " is held by " + Holder(holder),
                          "kill " + std::to_string(holder.pid) + "   # or close " + holder.name});
    else
      findings.push_back({false, port.path + " is also open in " + Holder(holder), ""});
  }
  if (busy && holders.empty())
    findings.push_back({true,
                        port.path + " is held by another program" +
                            (port.openersComplete ? "" : ", which this user may not see"),
                        port.kernelName.empty() ? "" : "sudo fuser -v " + port.device});
}

void JudgeProbe(const platform::PortFacts& port, const PortProbe& probe,
                std::vector<Finding>& findings) {
  const std::string rate = std::to_string(probe.baud);
  if (probe.open != platform::OpenStatus::Opened && probe.open != platform::OpenStatus::Busy &&
      probe.open != platform::OpenStatus::PermissionDenied)
    findings.push_back({true, port.path + " does not open: " + probe.openText, ""});
  if (probe.rateRefused)
    findings.push_back(
        {true, port.path + " opens, but its driver refuses " + rate + " baud: " + probe.rateText,
         "vestrel-cli --port " + port.path + " --baud 115200 ...   # a rate it runs"});
  if (!probe.synced) return;
  if (probe.answered) {
    findings.push_back(
        {false, "A bootloader " + probe.version + " answered at " + rate + " baud", ""});
  } else if (probe.open == platform::OpenStatus::Opened && !probe.rateRefused) {
    findings.push_back(
        {true,
         "No bootloader answered the sync at " + rate + " baud on " + port.path +
             (probe.syncError.empty() ? "" : " (" + probe.syncError + ")") +
             ": check the rate, that TX and RX are not swapped, and reset the board into its "
             "bootloader",
         "vestrel-cli --port " + port.path + " --baud " + rate +
             " -f app.hex -a --wait 30   # reset the board meanwhile"});
  }
}

}  // namespace

std::vector<Finding> JudgeSystem(const platform::SystemFacts& system,
                                 const std::string& portGroup) {
  std::vector<Finding> findings;
  if (system.serialGroup != portGroup) {
    if (std::optional<Finding> group =
            GroupFinding(system.user, system.serialGroup, "owns serial devices here"))
      findings.push_back(*group);
  }
  if (system.brlttyInstalled && !system.brlttyClaims.empty()) {
    std::string adapters;
    for (const std::string& claim : system.brlttyClaims)
      adapters += (adapters.empty() ? "" : ", ") + claim;
    findings.push_back({true,
                        "brltty (for braille displays) is installed and its udev rules take USB "
                        "serial adapters away as they are plugged in: " +
                            adapters,
                        "sudo apt-get remove brltty   # unless a braille display needs it"});
  }
  if (system.modemManagerRunning)
    findings.push_back({true,
                        "ModemManager runs: it opens new serial ports for a few seconds to probe "
                        "them for a modem, and a load meanwhile finds the port busy",
                        "sudo systemctl disable --now ModemManager   # or a udev rule with "
                        "ENV{ID_MM_DEVICE_IGNORE}=\"1\" for the adapter"});
  for (const platform::UsbAdapter& adapter : system.adapters) {
    if (adapter.bound.empty())
      findings.push_back({true,
                          "The adapter " + adapter.name + " (" + adapter.id + ") has no driver",
                          "sudo modprobe " + adapter.module});
    else if (adapter.bound == "usbfs")
      findings.push_back({true,
                          "The adapter " + adapter.name + " (" + adapter.id +
                              ") is claimed by a program through usbfs, not by its serial driver",
                          "sudo fuser -v /dev/bus/usb/*/*   # find it; then unplug and plug in"});
  }
  return findings;
}

std::vector<Finding> JudgePort(const platform::SystemFacts& system, const platform::PortFacts& port,
                               const std::optional<PortProbe>& probe) {
  std::vector<Finding> findings;
  if (port.device.empty()) {
    findings.push_back({true, port.path + " does not exist", "vestrel-cli --list-ports"});
    return findings;
  }
  if (!port.isTerminal) {
    findings.push_back({true, port.path + " is not a serial device", "vestrel-cli --list-ports"});
    return findings;
  }
  std::optional<Finding> group;
  if (!port.othersMayOpen) group = GroupFinding(system.user, port.group, "owns " + port.device);
  if (group)
    findings.push_back(*group);
  else if (probe && probe->open == platform::OpenStatus::PermissionDenied)
    findings.push_back(
        {true, port.path + " does not open: " + probe->openText, "ls -l " + port.device});
  JudgeHolders(port, probe, findings);
  if (port.latencyMs && *port.latencyMs > 1)
    findings.push_back(
        {false,
         "The latency timer of " + port.kernelName + " is " + std::to_string(*port.latencyMs) +
             " ms; vestrel-cli asks for 1 ms while it has the port open",
         "echo 1 | sudo tee /sys/bus/usb-serial/devices/" + port.kernelName + "/latency_timer"});
  if (const std::string driver = WindowsDriver(port.driver); !driver.empty())
    findings.push_back({false, port.path + " is " + port.driver + ", served by " + driver, ""});
  else if (!port.driver.empty())
    findings.push_back({false,
                        port.path + " is " + port.kernelName + ", driver " + port.driver +
                            (port.usbId.empty() ? "" : ", USB " + port.usbId),
                        ""});
  if (probe) JudgeProbe(port, *probe, findings);
  return findings;
}

PortProbe ProbePort(const std::string& path, std::uint32_t baud, bool sync) {
  PortProbe probe;
  probe.baud = baud;
  {
    platform::OpenResult opened = platform::OpenSerialDevice(path);
    probe.open = opened.status;
    probe.openText = opened.text;
    if (opened.status != platform::OpenStatus::Opened) return probe;
    platform::DCB dcb;
    opened.device->GetCommState(dcb);
    dcb.BaudRate = baud;
    dcb.ByteSize = 8;
    dcb.Parity = platform::NOPARITY;
    dcb.StopBits = platform::ONESTOPBIT;
    const platform::SerialResult set = opened.device->SetCommState(dcb);
    probe.rateRefused = !set.ok();
    probe.rateText = set.text;
  }  // closed again before the sync opens it
  if (!sync || probe.rateRefused) return probe;
  probe.synced = true;
  GangJob job;
  job.portNames = {path};
  job.targets = {{path, path}};
  job.request.baudRate = baud;  // a connect alone: the sync and the version
  GangListener quiet;
  const BoardResult result = LoadBoard(job, 0, {}, image::FileFormat::Hex, quiet);
  probe.answered = result.ok() && !result.load.version.empty();
  probe.version = result.load.version;
  probe.syncError = result.FirstErrorLine();
  return probe;
}

}  // namespace vestrel::app
