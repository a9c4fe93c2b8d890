#include "app/gang_report.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "app/json_text.h"

namespace vestrel::app {
namespace {

// XML 1.0 has no place for most control characters, even escaped: they become '?'.
std::string XmlText(const std::string& text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      default:
        out +=
            static_cast<unsigned char>(c) < 0x20 && c != '\n' && c != '\t' && c != '\r' ? '?' : c;
    }
  }
  return out;
}

std::string Seconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", seconds);
  return text;
}

std::size_t Failures(const GangOutcome& outcome) {
  return static_cast<std::size_t>(std::count_if(outcome.boards.begin(), outcome.boards.end(),
                                                [](const BoardResult& b) { return !b.ok(); }));
}

}  // namespace

std::string GangReportJson(const GangOutcome& outcome, const GangReportInfo& info) {
  const std::size_t failed = Failures(outcome);
  std::ostringstream out;
  out << "{\n  \"file\": " << JsonString(info.hexFile) << ",\n";
  if (!outcome.fileError.empty())
    out << "  \"file_error\": " << JsonString(outcome.fileError) << ",\n";
  out << "  \"boards\": " << outcome.boards.size()
      << ",\n  \"succeeded\": " << outcome.boards.size() - failed << ",\n  \"failed\": " << failed
      << ",\n  \"seconds\": " << Seconds(info.seconds)
      << ",\n  \"exit_code\": " << outcome.ExitCode() << ",\n  \"results\": [";
  for (std::size_t i = 0; i < outcome.boards.size(); ++i) {
    const BoardResult& b = outcome.boards[i];
    out << (i == 0 ? "\n" : ",\n") << "    {\"port\": " << JsonString(b.port)
        << ", \"result\": " << JsonString(b.ok() ? "ok" : "failed")
        << ", \"version\": " << JsonString(b.version) << ", \"flash_size\": " << b.flashSize
        << ", \"retries\": " << b.retries << ", \"seconds\": " << Seconds(b.seconds)
        << ", \"first_error\": " << JsonString(b.FirstError()) << ", \"steps\": {";
    for (std::size_t s = 0; s < b.steps.size(); ++s)
      out << (s == 0 ? "" : ", ") << JsonString(b.steps[s].step) << ": "
          << JsonString(b.steps[s].outcome);
    out << "}, \"errors\": [";
    for (std::size_t e = 0; e < b.errors.size(); ++e)
      out << (e == 0 ? "" : ", ") << JsonString(b.errors[e]);
    out << "]}";
  }
  out << (outcome.boards.empty() ? "]\n}\n" : "\n  ]\n}\n");
  return out.str();
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
    std::string steps;
    for (const StepOutcome& s : b.steps)
      steps += (steps.empty() ? "" : ", ") + s.step + " " + s.outcome;
    if (!b.ok()) {
      std::string details = "steps: " + steps + "\n";
      for (const std::string& error : b.errors) details += error + "\n";
      out << "      <failure type=\"load\" message=\"" << XmlText(b.FirstError()) << "\">"
          << XmlText(details) << "</failure>\n";
    }
    out << "      <system-out>"
        << XmlText("bootloader " + (b.version.empty() ? "unknown" : b.version) + ", flash " +
                   std::to_string(b.flashSize) + " bytes, retries " + std::to_string(b.retries) +
                   "; " + steps)
        << "</system-out>\n    </testcase>\n";
  }
  out << "  </testsuite>\n</testsuites>\n";
  return out.str();
}

}  // namespace vestrel::app
