// The gang load's output: progress lines per board, the closing table, the JSON and JUnit
// reports, and the ports file.
#include "app/cli/gang_view.h"

#include <gtest/gtest.h>

#include <sstream>

#include "app/cli/gang_command.h"
#include "app/gang_report.h"
#include "tests/support/hex_text.h"

namespace vestrel::cli {
namespace {

using namespace std::chrono_literals;

app::BoardResult Result(std::string port, int exitCode, std::vector<std::string> errors = {}) {
  app::BoardResult r;
  r.port = std::move(port);
  r.exitCode = exitCode;
  r.version = exitCode == 0 ? "v01.00" : "";
  r.flashSize = exitCode == 0 ? 16384 : 0;
  r.seconds = 1.25;
  r.errors = std::move(errors);
  r.steps = {{"connect", exitCode == 0 ? "ok" : "failed"},
             {"erase", exitCode == 0 ? "ok" : "skipped"}};
  return r;
}

app::GangOutcome TwoBoards() {
  app::GangOutcome outcome;
  outcome.boards = {Result("COM1", 0),
                    Result("rfc2217://farm:4001", 1,
                           {"Port Error: Unable to Open COMM Port\nrfc2217://farm:4001: unknown "
                            "host farm <\"&\">",
                            "Error: later"})};
  return outcome;
}

TEST(GangView, InALogEveryLineNamesItsBoard) {
  std::ostringstream out, err;
  GangView view(out, err, {}, {"COM1", "COM2"});
  view.OnText(1, "Programming...");
  for (int p : {5, 12, 30, 20, 41}) view.OnProgress(1, p);
  view.OnError(0, "Read Version Receive Error\nNo reply.", "Error");
  view.OnDone(0, Result("COM1", 1, {"Error: Read Version Receive Error\nNo reply."}));
  EXPECT_EQ(out.str(),
            "[COM2] Programming...\n[COM2] Programming: 12%\n[COM2] Programming: 30%\n"
            "[COM2] Programming: 41%\n"
            "[COM1] done: FAILED after 1.2 s: Error: Read Version Receive Error No reply.\n");
  EXPECT_EQ(err.str(), "[COM1] Error: Read Version Receive Error\n  No reply.\n");
}

TEST(GangView, OnATerminalEachBoardHasALineRedrawnInPlace) {
  std::ostringstream out, err;
  std::chrono::steady_clock::time_point now{};
  GangView view(out, err, {ProgressMode::Auto, true, false, false}, {"COM1", "socket://b:1"},
                [&now] { return now; });
  view.OnText(0, "Programming...");
  view.OnProgress(0, 50);  // within 200 ms of the last drawing: not drawn
  now += 250ms;
  view.OnProgress(0, 55);
  view.OnError(1, "gone", "Error");  // the block is cleared, the error printed, the block drawn
  view.Finish();
  const std::string line0 = "\rCOM1           Programming [###########         ]  55%\x1b[K\n";
  const std::string line1 = "\rsocket://b:1   \x1b[K\n";
  const std::string drawn = line0 + line1;
  EXPECT_EQ(out.str(), "\rCOM1           Programming [                    ]   0%\x1b[K\n" + line1 +
                           "\x1b[2A" + drawn + "\x1b[2A\r\x1b[J" + drawn + "\x1b[2A" + drawn);
  EXPECT_EQ(err.str(), "[socket://b:1] Error: gone\n");
}

TEST(GangTable, ListsEveryBoardAndTheCountThatSucceeded) {
  EXPECT_EQ(GangTable(TwoBoards()),
            "Port                 Version  Flash  Result  Retries  Seconds  First error\n"
            "COM1                 v01.00   16384  ok      0        1.2\n"
            "rfc2217://farm:4001  -        -      FAILED  0        1.2      Port Error: Unable to "
            "Open COMM Port rfc2217://farm:4001: unknown host farm <\"&\">\n"
            "1 of 2 boards succeeded; exit code 1\n");
}

TEST(GangReport, JsonAndJUnitSayWhichBoardFailedAndWhy) {
  const app::GangReportInfo info{"app.hex", 2.5};
  const std::string json = app::GangReportJson(TwoBoards(), info);
  EXPECT_NE(json.find(R"("boards": 2,)"), std::string::npos) << json;
  EXPECT_NE(
      json.find(R"({"port": "COM1", "result": "ok", "version": "v01.00", "flash_size": 16384,)"
                R"( "retries": 0, "seconds": 1.250, "first_error": "", "steps": {"connect": "ok",)"
                R"( "erase": "ok"}, "errors": []})"),
      std::string::npos)
      << json;
  EXPECT_NE(json.find(R"("first_error": "Port Error: Unable to Open COMM Port rfc2217://farm:4001:)"
                      R"( unknown host farm <\"&\">")"),
            std::string::npos)
      << json;
  EXPECT_NE(json.find(R"("exit_code": 1)"), std::string::npos) << json;

  const std::string junit = app::GangReportJUnit(TwoBoards(), info);
  EXPECT_NE(junit.find(R"(<testsuite name="vestrel-cli load app.hex" tests="2" failures="1")"),
            std::string::npos)
      << junit;
  EXPECT_NE(junit.find(R"(<testcase classname="vestrel.board" name="COM1" time="1.250">)"),
            std::string::npos);
  EXPECT_NE(junit.find(R"(<failure type="load" message="Port Error: Unable to Open COMM Port )"
                       R"(rfc2217://farm:4001: unknown host farm &lt;&quot;&amp;&quot;&gt;">)"),
            std::string::npos)
      << junit;
  EXPECT_NE(junit.find("Error: later"), std::string::npos);
}

// Regression (the comment after a port): "COM4  # left board" was taken as the port's name.
TEST(PortsFile, OneAPortWithCommentsAndBlanks) {
  test::TempDir dir;
  const std::string file = dir.Write("ports",
                                     "# rack 1\nCOM3\n\n  rfc2217://farm:4001 \r\n\t# off\n"
                                     "COM4  # left board\n/dev/by-id/usb-FTDI#2\t#right\n"
                                     "/dev/ttyUSB0");
  EXPECT_EQ(ReadPortsFile(file), (std::vector<std::string>{"COM3", "rfc2217://farm:4001", "COM4",
                                                           "/dev/by-id/usb-FTDI#2",
                                                           "/dev/ttyUSB0"}));
  EXPECT_FALSE(ReadPortsFile(dir.File("absent")));
}

}  // namespace
}  // namespace vestrel::cli
