// The gang load's output: progress lines per board, the closing table, the JSON and JUnit
// reports, and the ports file.
#include "app/cli/gang_view.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "app/cli/gang_command.h"
#include "app/gang_report.h"
#include "app/report_text.h"
#include "tests/support/hex_text.h"

namespace vestrel::cli {
namespace {

using namespace std::chrono_literals;

// A board whose connect succeeded or failed with `why`; its erase ran only after a connect.
app::BoardResult Result(std::string port, int exitCode, std::vector<std::string> errors = {},
                        Failure why = {}) {
  app::BoardResult r;
  r.port = std::move(port);
  r.exitCode = exitCode;
  r.load.version = exitCode == 0 ? "v01.00" : "";
  r.load.flashSize = exitCode == 0 ? 16384 : 0;
  r.seconds = 1.25;
  r.errors = std::move(errors);
  const app::StepState state = exitCode == 0 ? app::StepState::Succeeded : app::StepState::Failed;
  r.load[app::Step::Connect] = {true, state, why.error, why.message};
  r.load[app::Step::Erase] = {true, exitCode == 0 ? state : app::StepState::NotRun, {}, {}};
  return r;
}

const Failure kUnknownHost{
    ErrorClass::PortUnusable,
    "Unable to Open COMM Port\nrfc2217://farm:4001: unknown host farm <\"&\">"};

app::GangOutcome TwoBoards() {
  app::GangOutcome outcome;
  outcome.boards = {Result("COM1", 0),
                    Result("rfc2217://farm:4001", 1,
                           {"Port Error: " + kUnknownHost.message, "Error: later"}, kUnknownHost)};
  return outcome;
}

TEST(GangView, InALogEveryLineNamesItsBoard) {
  std::ostringstream out, err;
  GangView view(out, err, {}, {"COM1", "COM2"});
  view.OnStepStarted(1, app::Step::Program);
  view.OnText(1, "Programming...");
  for (int p : {5, 12, 30, 20, 41}) view.OnProgress(1, {app::Phase::Program, p, 0, 0, 0});
  view.OnMessage(0, "Read Version Receive Error\nNo reply.", "Error");
  view.OnDone(0, Result("COM1", 1, {"Error: Read Version Receive Error\nNo reply."},
                        {ErrorClass::LinkLost, "Read Version Receive Error\nNo reply."}));
  // A board that failed without a box of its own still says why on stderr.
  view.OnDone(1, Result("COM2", 1, {}, {ErrorClass::NoSync, "ERROR:  COMM Sync\nNo answer."}));
  EXPECT_EQ(out.str(),
            "[COM2] Programming...\n[COM2] Programming: 12%\n[COM2] Programming: 30%\n"
            "[COM2] Programming: 41%\n"
            "[COM1] done: FAILED after 1.2 s: Read Version Receive Error No reply.\n"
            "[COM2] done: FAILED after 1.2 s: ERROR:  COMM Sync No answer.\n");
  EXPECT_EQ(err.str(),
            "[COM1] Error: Read Version Receive Error\n  No reply.\n"
            "[COM2] Error: ERROR:  COMM Sync\n  No answer.\n");
}

TEST(GangView, OnATerminalEachBoardHasALineRedrawnInPlace) {
  std::ostringstream out, err;
  std::chrono::steady_clock::time_point now{};
  GangView view(out, err, {ProgressMode::Auto, true, false, false}, {"COM1", "socket://b:1"},
                [&now] { return now; });
  view.OnStepStarted(0, app::Step::Program);
  view.OnText(0, "Programming...");
  view.OnProgress(0, {app::Phase::Program, 50, 0, 0, 0});  // within 200 ms of the last drawing
  now += 250ms;
  view.OnProgress(0, {app::Phase::Program, 55, 0, 0, 0});
  view.OnMessage(1, "gone", "Error");  // the block is cleared, the error printed, the block drawn
  view.Finish();
  const std::string line0 = "\rCOM1           Programming [###########         ]  55%\x1b[K\n";
  const std::string line1 = "\rsocket://b:1   \x1b[K\n";
  const std::string drawn = line0 + line1;
  EXPECT_EQ(out.str(), "\rCOM1           Programming [                    ]   0%\x1b[K\n" + line1 +
                           "\x1b[2A" + drawn + "\x1b[2A\r\x1b[J" + drawn + "\x1b[2A" + drawn);
  EXPECT_EQ(err.str(), "[socket://b:1] Error: gone\n");
}

TEST(GangTable, ListsEveryBoardAndTheCountThatSucceeded) {
  EXPECT_EQ(GangTable(TwoBoards(), 1),
            "Port                 Version  Flash  Result  Retries  Seconds  First error\n"
            "COM1                 v01.00   16384  ok      0        1.2\n"
            "rfc2217://farm:4001  -        -      FAILED  0        1.2      Unable to "
            "Open COMM Port rfc2217://farm:4001: unknown host farm <\"&\">\n"
            "1 of 2 boards succeeded; exit code 1\n");
}

TEST(GangReport, JsonAndJUnitSayWhichBoardFailedAndWhy) {
  const app::GangReportInfo info{"app.hex", 2.5};
  const auto json = nlohmann::json::parse(app::GangReportJson(TwoBoards(), info));
  EXPECT_EQ(json["boards"], 2);
  EXPECT_EQ(json["exit_code"], 1);
  EXPECT_EQ(json["results"][0],
            nlohmann::json::parse(R"({"port": "COM1", "result": "ok", "version": "v01.00",
                "flash_size": 16384, "retries": 0, "seconds": 1.25, "first_error": "",
                "error": null, "steps": {"connect": "ok", "erase": "ok"}, "errors": []})"));
  const auto& failed = json["results"][1];
  EXPECT_EQ(failed["error"]["class"], "port-unusable");
  EXPECT_EQ(failed["error"]["message"], kUnknownHost.message);
  EXPECT_EQ(failed["first_error"],
            "Unable to Open COMM Port rfc2217://farm:4001: unknown host farm <\"&\">");
  EXPECT_EQ(failed["steps"], nlohmann::json::parse(R"({"connect": "failed", "erase": "skipped"})"));

  const std::string junit = app::GangReportJUnit(TwoBoards(), info);
  EXPECT_NE(junit.find(R"(<testsuite name="vestrel-cli load app.hex" tests="2" failures="1")"),
            std::string::npos)
      << junit;
  EXPECT_NE(junit.find(R"(<testcase classname="vestrel.board" name="COM1" time="1.250">)"),
            std::string::npos);
  EXPECT_NE(junit.find(R"(<failure type="port-unusable" message="Unable to Open COMM Port )"
                       R"(rfc2217://farm:4001: unknown host farm &lt;&quot;&amp;&quot;&gt;">)"),
            std::string::npos)
      << junit;
  EXPECT_NE(junit.find("Error: later"), std::string::npos);
}

// A ports file in Latin-1 or a folder named in it must not make the reports unreadable.
TEST(GangReport, NamesThatAreNotUtf8GiveValidReports) {
  app::GangOutcome outcome;
  outcome.boards = {Result("/dev/caf\xE9", 1, {"Error: caf\xE9"},
                           {ErrorClass::PortAbsent, "/dev/caf\xE9 does not exist"})};
  const app::GangReportInfo info{"/home/caf\xE9/app.hex", 1};
  const auto json = nlohmann::json::parse(app::GangReportJson(outcome, info));
  EXPECT_EQ(json["results"][0]["port"], "/dev/caf\uFFFD");
  const std::string junit = app::GangReportJUnit(outcome, info);
  EXPECT_EQ(app::ValidUtf8(junit), junit);
  EXPECT_NE(junit.find("caf\uFFFD"), std::string::npos);
}

TEST(ReportText, EveryMalformedSequenceBecomesOneReplacement) {
  const std::pair<std::string, std::string> cases[] = {
      {"plain \xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80",
       "plain \xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"},
      {"latin1 \xE9!", "latin1 \uFFFD!"},
      {"cut \xE2\x82", "cut \uFFFD\uFFFD"},
      {"overlong \xC0\xAF \xE0\x80\xAF", "overlong \uFFFD\uFFFD \uFFFD\uFFFD\uFFFD"},
      {"surrogate \xED\xA0\x80", "surrogate \uFFFD\uFFFD\uFFFD"},
      {"beyond \xF4\x90\x80\x80", "beyond \uFFFD\uFFFD\uFFFD\uFFFD"},
  };
  for (const auto& [in, expected] : cases) EXPECT_EQ(app::ValidUtf8(in), expected) << in;
}

// Regression (the comment after a port): "COM4  # left board" was taken as the port's name.
TEST(PortsFile, OneAPortWithCommentsAndBlanks) {
  test::TempDir dir;
  const std::string file = dir.Write("ports",
                                     "# rack 1\nCOM3\n\n  rfc2217://farm:4001 \r\n\t# off\n"
                                     "COM4  # left board\n/dev/by-id/usb-FTDI#2\t#right\n"
                                     "/dev/ttyUSB0");
  EXPECT_EQ(ReadPortsFile(file),
            (std::vector<std::string>{"COM3", "rfc2217://farm:4001", "COM4",
                                      "/dev/by-id/usb-FTDI#2", "/dev/ttyUSB0"}));
  EXPECT_FALSE(ReadPortsFile(dir.File("absent")));
}

}  // namespace
}  // namespace vestrel::cli
