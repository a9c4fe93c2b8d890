#include "platform/port_map.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <optional>

namespace vestrel::platform {
namespace {

namespace fs = std::filesystem;

class TempTree {
 public:
  TempTree() {
    std::string pattern = (fs::temp_directory_path() / "vestrel-map-XXXXXX").string();
    root_ = ::mkdtemp(pattern.data());
  }
  ~TempTree() { fs::remove_all(root_); }

  const fs::path& root() const { return root_; }
  fs::path operator/(const std::string& relative) const { return root_ / relative; }

  void File(const std::string& relative, const std::string& content = "") const {
    fs::create_directories((root_ / relative).parent_path());
    std::ofstream(root_ / relative) << content << "\n";
  }
  void Link(const std::string& relative, const fs::path& target) const {
    fs::create_directories((root_ / relative).parent_path());
    fs::create_symlink(target, root_ / relative);
  }

 private:
  fs::path root_;
};

// Sets or clears an environment variable for one test and puts the old value back.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::optional<std::string>& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value)
      ::setenv(name, value->c_str(), 1);
    else
      ::unsetenv(name);
  }
  ~ScopedEnv() {
    if (old_)
      ::setenv(name_, old_->c_str(), 1);
    else
      ::unsetenv(name_);
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

// A machine with three USB adapters (two named in /dev/serial/by-id), four ttyS nodes of which
// three have a UART, and a virtual console.
class FakeSystem {
 public:
  FakeSystem() {
    paths.sysClassTty = (tree / "sys/class/tty").string();
    paths.dev = (tree / "dev").string();
    paths.serialById = (tree / "dev/serial/by-id").string();

    UsbAdapter("ttyUSB1", "1-2", "0403", "6001", "FTDI", "FT232R USB UART", "A1");
    UsbAdapter("ttyACM0", "1-3", "2341", "0043", "", "Arduino Uno", "");
    UsbAdapter("ttyUSB0", "1-4", "1a86", "7523", "", "", "");
    tree.Link("dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1-if00-port0", tree / "dev/ttyUSB1");
    tree.Link("dev/serial/by-id/usb-Arduino_Uno-if00", tree / "dev/ttyACM0");

    Uart("ttyS0", "4");
    Uart("ttyS1", "0");
    Uart("ttyS10", "4");
    Uart("ttyS2", "4");
    tree.File("sys/class/tty/tty0/dev", "4:0");
    tree.File("dev/tty0");
  }

  TempTree tree;
  SystemPaths paths;

 private:
  void UsbAdapter(const std::string& name, const std::string& usbPort, const std::string& vendor,
                  const std::string& product, const std::string& maker, const std::string& model,
                  const std::string& serial) {
    const std::string usb = "sys/devices/pci0/usb1/" + usbPort + "/";
    tree.File(usb + "idVendor", vendor);
    tree.File(usb + "idProduct", product);
    if (!maker.empty()) tree.File(usb + "manufacturer", maker);
    if (!model.empty()) tree.File(usb + "product", model);
    if (!serial.empty()) tree.File(usb + "serial", serial);
    const std::string iface = usb + usbPort + ":1.0/" + name;
    fs::create_directories(tree / iface);
    tree.Link("sys/class/tty/" + name + "/device", tree / iface);
    tree.File("dev/" + name);
  }

  void Uart(const std::string& name, const std::string& type) {
    fs::create_directories(tree / ("sys/devices/pnp0/" + name));
    tree.Link("sys/class/tty/" + name + "/device", tree / ("sys/devices/pnp0/" + name));
    tree.File("sys/class/tty/" + name + "/type", type);
    tree.File("dev/" + name);
  }
};

TEST(AutomaticPortMap, UsbAdaptersFirstByIdThenUartsInNumericOrder) {
  FakeSystem system;
  const PortMap map = PortMap::Automatic(system.paths);
  ASSERT_EQ(map.Source(), PortMapSource::Automatic);

  const std::vector<PortMapEntry> entries = map.Entries();
  std::vector<std::string> devices;
  for (const PortMapEntry& e : entries) devices.push_back(fs::path(e.devicePath).filename());
  EXPECT_EQ(devices, (std::vector<std::string>{"ttyACM0", "ttyUSB1", "ttyUSB0", "ttyS0", "ttyS2",
                                               "ttyS10"}));
  for (std::size_t i = 0; i < entries.size(); ++i) EXPECT_EQ(entries[i].number, i + 1);

  EXPECT_EQ(entries[0].description, "Arduino Uno (2341:0043)");
  EXPECT_EQ(entries[1].description, "FTDI FT232R USB UART (0403:6001, serial A1)");
  EXPECT_EQ(entries[2].description, "USB 1a86:7523");
  EXPECT_EQ(entries[3].description, "");

  EXPECT_EQ(map.DevicePath(2), (system.tree / "dev/ttyUSB1").string());
  EXPECT_EQ(map.DevicePath(6), (system.tree / "dev/ttyS10").string());
  EXPECT_EQ(map.DevicePath(7), std::nullopt);
  EXPECT_EQ(map.DevicePath(0), std::nullopt);
}

TEST(AutomaticPortMap, EmptyWhenNoSerialHardware) {
  TempTree empty;
  SystemPaths paths{(empty / "sys/class/tty").string(), (empty / "dev").string(),
                    (empty / "by-id").string()};
  const PortMap map = PortMap::Automatic(paths);
  EXPECT_TRUE(map.Entries().empty());
  EXPECT_EQ(map.DevicePath(1), std::nullopt);
}

TEST(DirectoryPortMap, NamesComNAndListsOnlyWellFormedEntries) {
  FakeSystem system;
  TempTree ports;
  ports.Link("com1", system.tree / "dev/ttyUSB1");
  ports.File("com12");
  ports.Link("com256", ports / "nowhere");
  for (const char* ignored : {"com0", "com01", "com257", "Com3", "comx", "notes.txt"})
    ports.File(ignored);
  const PortMap map =
      PortMap::FromDirectory(ports.root().string(), PortMapSource::PortDirectory, system.paths);

  EXPECT_EQ(map.DevicePath(5), (ports / "com5").string());  // named whether or not it exists
  EXPECT_EQ(map.DevicePath(256), (ports / "com256").string());
  EXPECT_EQ(map.DevicePath(257), std::nullopt);

  const std::vector<PortMapEntry> entries = map.Entries();
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].number, 1u);
  EXPECT_EQ(entries[0].resolvedPath, (system.tree / "dev/ttyUSB1").string());
  EXPECT_EQ(entries[0].description, "FTDI FT232R USB UART (0403:6001, serial A1)");
  EXPECT_EQ(entries[1].number, 12u);
  EXPECT_EQ(entries[1].description, "");
  EXPECT_EQ(entries[2].number, 256u);
  EXPECT_EQ(entries[2].resolvedPath, "");  // a dangling link leads nowhere
}

TEST(PortMapFromEnvironment, PortDirThenUserDirectoryThenAutomatic) {
  FakeSystem system;
  TempTree home;
  ScopedEnv homeEnv("HOME", home.root().string());
  {
    ScopedEnv dir("VESTREL_PORT_DIR", "/somewhere/ports");
    const PortMap map = PortMap::FromEnvironment(system.paths);
    EXPECT_EQ(map.Source(), PortMapSource::PortDirectory);
    EXPECT_EQ(map.DevicePath(3), "/somewhere/ports/com3");
  }
  ScopedEnv unset("VESTREL_PORT_DIR", std::nullopt);
  EXPECT_EQ(PortMap::FromEnvironment(system.paths).Source(), PortMapSource::Automatic);

  fs::create_directories(home / ".config/vestrel/ports");
  const PortMap user = PortMap::FromEnvironment(system.paths);
  EXPECT_EQ(user.Source(), PortMapSource::UserPortDirectory);
  EXPECT_EQ(user.Directory(), (home / ".config/vestrel/ports").string());

  ScopedEnv empty("VESTREL_PORT_DIR", "");  // an empty setting counts as none
  EXPECT_EQ(PortMap::FromEnvironment(system.paths).Source(), PortMapSource::UserPortDirectory);
}

TEST(PortDisplayName, IsComAndTheNumber) {
  EXPECT_EQ(PortDisplayName(3), "COM3");
  EXPECT_EQ(PortDisplayName(256), "COM256");
}

}  // namespace
}  // namespace vestrel::platform
