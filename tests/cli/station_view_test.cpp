// The station on a terminal and in a log: rows redrawn in place, plain lines per change, and
// the hook for each finished board.
#include "app/cli/station_view.h"

#include <gtest/gtest.h>

#include <sstream>

namespace vestrel::cli {
namespace {

using namespace std::chrono_literals;

app::PortRow Row(app::PortPhase phase, int percent = 0, std::string reason = {}) {
  return {"COM3", phase, percent, "1042", std::move(reason)};
}

TEST(StationView, PlainLinesSayEachChangeAndLoadingInStepsOfTen) {
  std::ostringstream out, err;
  StationView view(out, err, {}, "Station: app.hex");
  view.OnWatching();
  for (const int percent : {0, 3, 9, 10, 14, 55}) view.OnRow(Row(app::PortPhase::Loading, percent));
  view.OnRow(Row(app::PortPhase::Failed, 100, "ERROR:  COMM Sync"));
  view.OnNotice("the serial list is used up");
  EXPECT_EQ(out.str(),
            "Station: app.hex\n"
            "[COM3] loading   0 %  serial 1042\n"
            "[COM3] loading  10 %  serial 1042\n"
            "[COM3] loading  50 %  serial 1042\n"
            "[COM3] FAILED  serial 1042: ERROR:  COMM Sync\n");
  EXPECT_EQ(err.str(), "vestrel-cli station: the serial list is used up\n");
}

TEST(StationView, ATerminalGetsATableRedrawnInPlaceAndABell) {
  std::ostringstream out, err;
  TerminalOptions terminal;
  terminal.outIsTerminal = true;
  auto now = std::chrono::steady_clock::time_point{};
  std::vector<std::string> hooked;
  StationView view(
      out, err, terminal, "Station",
      [&](const app::AttemptRecord& record) {
        hooked.push_back(record.result + " " + record.boardSerial);
        return 3;
      },
      [&] { return now; });
  view.OnRow({"COM1", app::PortPhase::Waiting, 0, "", ""});
  EXPECT_EQ(out.str(), "");  // nothing before the ports are watched
  view.OnWatching();
  view.OnRow(Row(app::PortPhase::Loading, 37));
  const std::string first = out.str();
  EXPECT_NE(first.find("\r  COM1  waiting\x1b[K\n"), std::string::npos) << first;
  EXPECT_NE(first.find("\r  COM3  loading  37 %  serial 1042\x1b[K\n"), std::string::npos);
  view.OnRow(Row(app::PortPhase::Loading, 38));  // within 200 ms: not drawn
  EXPECT_EQ(out.str(), first);
  now += 250ms;
  view.OnRow(Row(app::PortPhase::Ok));
  EXPECT_NE(out.str().find("\x1b[3A\r"), std::string::npos);  // back over the three lines
  EXPECT_NE(out.str().find("COM3  OK  serial 1042"), std::string::npos);
  app::AttemptRecord record;
  record.port = "COM3";
  record.result = "ok";
  record.boardSerial = "1042";
  view.OnResult(record);
  EXPECT_EQ(out.str().find('\a') != std::string::npos, true);
  EXPECT_EQ(hooked, std::vector<std::string>{"ok 1042"});
  EXPECT_NE(err.str().find("the --on-result command ended with 3 for COM3"), std::string::npos);
}

}  // namespace
}  // namespace vestrel::cli
