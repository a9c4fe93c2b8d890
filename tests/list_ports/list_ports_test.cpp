#include "app/cli/list_ports.h"

#include <gtest/gtest.h>

#include <sstream>

#include "platform/serial_device.h"
#include "tests/support/port_dir.h"
#include "tests/support/pty_pair.h"

namespace vestrel::app {
namespace {

using testing_support::PortDir;
using testing_support::PtyPair;

std::string Line(const std::string& text, const std::string& start) {
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    if (line.rfind(start, 0) == 0) return line;
  return {};
}

TEST(ListPorts, ShowsTheMapAndEachPortsState) {
  PortDir dir;
  PtyPair free, held;
  ASSERT_TRUE(free.ok() && held.ok());
  dir.Link(1, free.SlavePath());
  dir.Link(2, held.SlavePath());
  dir.Link(10, (dir.path() / "gone").string());
  auto holder = platform::OpenSerialDevice(held.SlavePath());
  ASSERT_EQ(holder.status, platform::OpenStatus::Opened);

  std::ostringstream out;
  EXPECT_EQ(ListPorts(out), 0);
  const std::string text = out.str();

  EXPECT_NE(Line(text, "Port map:").find(dir.path().string() + " (VESTREL_PORT_DIR)"),
            std::string::npos)
      << text;
  const std::string com1 = Line(text, "COM1 ");
  EXPECT_NE(com1.find(dir.Entry(1).string() + " -> " + free.SlavePath()), std::string::npos);
  EXPECT_NE(com1.find("usable"), std::string::npos) << text;
  EXPECT_NE(Line(text, "COM2 ").find("busy (held by another program)"), std::string::npos);
  EXPECT_NE(Line(text, "COM10 ").find("absent"), std::string::npos) << text;
  EXPECT_EQ(Line(text, "COM3"), "");
}

TEST(ListPorts, SaysSoWhenThereAreNone) {
  PortDir dir;
  std::ostringstream out;
  EXPECT_EQ(ListPorts(out), 0);
  EXPECT_NE(out.str().find("No serial ports found."), std::string::npos);
}

}  // namespace
}  // namespace vestrel::app
