// The window's manual page is written by hand (its --help is a short summary). These tests keep
// the page in step with the option letters the window's command line reads and with its baud
// list.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "app/load_request.h"
#include "app/loader.h"
#include "tests/support/fake_bootloader.h"
#include "tests/support/recording_view.h"

namespace {

using vestrel::app::kBaudRateCount;
using vestrel::app::kBaudRates;
using vestrel::app::Loader;

std::vector<std::string> PageLines() {
  std::ifstream in(VESTREL_WINDOW_PAGE);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The letters of the tagged paragraphs (".TP" then ".B \-e" or ".BI \-f FILE") under OPTIONS.
std::set<char> DocumentedLetters(const std::vector<std::string>& lines) {
  static const std::regex tag(R"(\.BI? \\-([a-z])(\s.*)?)");
  std::set<char> letters;
  bool inOptions = false;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].rfind(".SH", 0) == 0) inOptions = lines[i] == ".SH OPTIONS";
    std::smatch match;
    if (inOptions && lines[i] == ".TP" && i + 1 < lines.size() &&
        std::regex_match(lines[i + 1], match, tag)) {
      letters.insert(match[1].str()[0]);
    }
  }
  return letters;
}

// Whether the single argument "-<letter>1" asks for anything.
bool LetterIsRead(char letter) {
  const std::vector<std::string> args{std::string("-") + letter + "1"};
  const vestrel::app::LoadRequest r = vestrel::app::ParseWindowCommandLine(args).request;
  return r.file || r.NamesPort() || r.NamesRate() || r.AsksForStep() || r.terminate;
}

TEST(WindowManualPage, DocumentsExactlyTheLettersTheCommandLineReads) {
  std::set<char> read;
  for (char c = '!'; c <= '~'; ++c) {
    if (LetterIsRead(c)) read.insert(c);
  }
  EXPECT_EQ(DocumentedLetters(PageLines()), read);
}

TEST(WindowManualPage, ListsEveryBaudIndexWithItsRate) {
  std::string page;
  for (const std::string& line : PageLines()) page += line + ' ';
  std::string expected;
  for (int i = 0; i < kBaudRateCount; ++i) {
    expected += std::to_string(i) + "\\~=\\~" + std::to_string(kBaudRates[i]);
    expected += i + 1 < kBaudRateCount ? ", " : " baud.";
  }
  EXPECT_NE(page.find(expected), std::string::npos) << "expected: " << expected;
}

}  // namespace
