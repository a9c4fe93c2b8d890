#include "app/gang_report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <sstream>

#include "app/report_text.h"

namespace vestrel::app {
namespace {

using Json = nlohmann::ordered_json;

std::string Seconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", seconds);
  return text;
}

// Milliseconds are all a report needs, and round numbers read better than binary fractions.
double Rounded(double seconds) {
  return std::round(seconds * 1000.0) / 1000.0;
}

std::size_t Failures(const GangOutcome& outcome) {
  return static_cast<std::size_t>(std::count_if(outcome.boards.begin(), outcome.boards.end(),
                                                [](const BoardResult& b) { return !b.ok(); }));
}

// The requested steps, by name, and how each went.
std::string StepsText(const BoardResult& board) {
  std::string text;
  for (Step step : kSteps) {
    const StepOutcome& outcome = board.load[step];
    if (outcome.requested)
      text += (text.empty() ? "" : ", ") + std::string(StepName(step)) + " " + outcome.Word();
  }
  return text;
}

Json BoardJson(const BoardResult& b) {
  Json steps = Json::object();
  for (Step step : kSteps)
    if (b.load[step].requested) steps[StepName(step)] = b.load[step].Word();
  const Failure first = b.FirstError();
  Json board = {{"port", b.port},
                {"result", b.ok() ? "ok" : "failed"},
                {"version", b.load.version},
                {"flash_size", b.load.flashSize},
                {"retries", b.load.retries},
                {"seconds", Rounded(b.seconds)},
                {"first_error", b.FirstErrorLine()}};
  board["error"] = b.ok()
                       ? Json(nullptr)
                       : Json{{"class", ErrorClassName(first.error)}, {"message", first.message}};
  board["steps"] = steps;
  board["errors"] = b.errors;
  return board;
}

}  // namespace

std::string GangReportJson(const GangOutcome& outcome, const GangReportInfo& info) {
  const std::size_t failed = Failures(outcome);
  Json report = {{"file", info.hexFile}};
  if (outcome.fileError.error != ErrorClass::None) report["file_error"] = outcome.fileError.message;
  report["boards"] = outcome.boards.size();
  report["succeeded"] = outcome.boards.size() - failed;
  report["failed"] = failed;
  report["seconds"] = Rounded(info.seconds);
  report["exit_code"] = outcome.ExitCode();
  report["results"] = Json::array();
  for (const BoardResult& board : outcome.boards) report["results"].push_back(BoardJson(board));
  // Names in another encoding must not make the report unreadable: such bytes become U+FFFD.
  return report.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

std::string GangReportJUnit(const GangOutcome& outcome, const GangReportInfo& info) {
  const std::size_t failed = Failures(outcome);
  const std::string counts = "tests=\"" + std::to_string(outcome.boards.size()) + "\" failures=\"" +
                             std::to_string(failed) + "\"";
  const std::string suite =
      info.hexFile.empty() ? "vestrel-cli" : "vestrel-cli load " + info.hexFile;
  std::ostringstream out;
  out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites " << counts << " time=\""
      << Seconds(info.seconds) << "\">\n  <testsuite name=\"" << XmlText(suite) << "\" " << counts
      << " errors=\"0\" time=\"" << Seconds(info.seconds) << "\">\n";
  for (const BoardResult& b : outcome.boards) {
    out << "    <testcase classname=\"vestrel.board\" name=\"" << XmlText(b.port) << "\" time=\""
        << Seconds(b.seconds) << "\">\n";
    const std::string steps = StepsText(b);
    if (!b.ok()) {
      const Failure first = b.FirstError();
      std::string details = "steps: " + steps + "\n";
      for (const std::string& error : b.errors) details += error + "\n";
      out << "      <failure type=\"" << ErrorClassName(first.error) << "\" message=\""
          << XmlText(b.FirstErrorLine()) << "\">" << XmlText(details) << "</failure>\n";
    }
    out << "      <system-out>"
        << XmlText("bootloader " + (b.load.version.empty() ? "unknown" : b.load.version) +
                   ", flash " + std::to_string(b.load.flashSize) + " bytes, retries " +
                   std::to_string(b.load.retries) + "; " + steps)
        << "</system-out>\n    </testcase>\n";
  }
  out << "  </testsuite>\n</testsuites>\n";
  return out.str();
}

}  // namespace vestrel::app
