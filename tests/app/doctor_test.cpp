// The doctor's judgement: the facts of a system and a port, and what it says about them.
#include "app/doctor.h"

#include <gtest/gtest.h>

namespace vestrel::app {
namespace {

platform::SystemFacts Healthy() {
  platform::SystemFacts system;
  system.user = {"ann", false, {"ann", "dialout"}, {"ann", "dialout"}};
  system.serialGroup = "dialout";
  return system;
}

platform::PortFacts Port() {
  platform::PortFacts port;
  port.path = port.device = "/dev/ttyUSB0";
  port.isTerminal = true;
  port.group = "dialout";
  port.groupMayOpen = true;
  port.kernelName = "ttyUSB0";
  return port;
}

struct Case {
  const char* name;
  void (*change)(platform::SystemFacts&, platform::PortFacts&, PortProbe&);
  bool problem;
  const char* what;  // in the finding
  const char* fix;   // in its fix
};

TEST(Doctor, FindingsWithTheirFixes) {
  const Case cases[] = {
      {"not in the group",
       [](auto& s, auto&, auto&) { s.user.sessionGroups = s.user.accountGroups = {"ann"}; }, true,
       "You (ann) are not in the group dialout that owns /dev/ttyUSB0", "sudo adduser ann dialout"},
      {"added, not logged in again", [](auto& s, auto&, auto&) { s.user.sessionGroups = {"ann"}; },
       true, "were added to the group dialout", "newgrp dialout"},
      {"brltty",
       [](auto& s, auto&, auto&) {
         s.brlttyInstalled = true;
         s.brlttyClaims = {"1a86:7523 WCH CH340"};
       },
       true, "1a86:7523 WCH CH340", "sudo apt-get remove brltty"},
      {"ModemManager", [](auto& s, auto&, auto&) { s.modemManagerRunning = true; }, true,
       "ModemManager runs", "systemctl disable --now ModemManager"},
      {"no driver",
       [](auto& s, auto&, auto&) {
         s.adapters = {{"10c4:ea60", "Silicon Labs CP210x", "cp210x", ""}};
       },
       true, "(10c4:ea60) has no driver", "sudo modprobe cp210x"},
      {"held",
       [](auto&, auto& p, auto& probe) {
         probe.open = platform::OpenStatus::Busy;
         p.lockers = {{4242, "minicom"}};
         p.openers = {{4242, "minicom"}, {17, "agetty"}};
       },
       true, "/dev/ttyUSB0 is held by process 4242 (minicom)", "kill 4242"},
      {"open elsewhere, not held",
       [](auto&, auto& p, auto&) {
         p.openers = {{17, "agetty"}};
       },
       false, "is also open in process 17 (agetty)", ""},
      {"latency timer", [](auto&, auto& p, auto&) { p.latencyMs = 16; }, false, "is 16 ms",
       "/sys/bus/usb-serial/devices/ttyUSB0/latency_timer"},
      {"rate refused",
       [](auto&, auto&, auto& probe) {
         probe.rateRefused = true;
         probe.rateText = "Invalid argument";
       },
       true, "refuses 921600 baud", "--baud 115200"},
      {"no bootloader", [](auto&, auto&, auto& probe) { probe.synced = true; }, true,
       "No bootloader answered the sync at 921600 baud", "--wait 30"},
      {"Windows driver", [](auto&, auto& p, auto&) { p.driver = "\\Device\\VCP0"; }, false,
       "served by FTDI's VCP driver", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    platform::SystemFacts system = Healthy();
    platform::PortFacts port = Port();
    PortProbe probe;
    probe.open = platform::OpenStatus::Opened;
    probe.baud = 921600;
    c.change(system, port, probe);
    std::vector<Finding> findings = JudgeSystem(system, port.group);
    const std::vector<Finding> more = JudgePort(system, port, probe);
    findings.insert(findings.end(), more.begin(), more.end());
    ASSERT_EQ(findings.size(), 1u);
    EXPECT_EQ(findings[0].problem, c.problem);
    EXPECT_NE(findings[0].what.find(c.what), std::string::npos) << findings[0].what;
    EXPECT_NE(findings[0].fix.find(c.fix), std::string::npos) << findings[0].fix;
  }
  platform::PortFacts healthy = Port();
  EXPECT_TRUE(JudgePort(Healthy(), healthy, std::nullopt).empty());
  EXPECT_TRUE(JudgeSystem(Healthy()).empty());
  // Without a port, the group of serial devices.
  platform::SystemFacts outside = Healthy();
  outside.user.sessionGroups = outside.user.accountGroups = {"ann"};
  ASSERT_EQ(JudgeSystem(outside).size(), 1u);
  EXPECT_NE(JudgeSystem(outside)[0].what.find("owns serial devices here"), std::string::npos);
}

TEST(Doctor, AnAdministratorMayOpenAnyPort) {
  platform::SystemFacts system = Healthy();
  system.user = {"root", true, {"root"}, {"root"}};
  EXPECT_TRUE(JudgeSystem(system).empty());
  EXPECT_TRUE(JudgePort(system, Port(), std::nullopt).empty());
}

}  // namespace
}  // namespace vestrel::app
