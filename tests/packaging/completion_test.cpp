// The bash completion of vestrel-cli, run in bash against the built program: what it offers for
// options, baud rates and indexes, files, and the ports of the current port map.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "app/loader.h"
#include "tests/cli/run_program.h"
#include "tests/support/port_dir.h"
#include "tests/support/pty_pair.h"

namespace {

using vestrel::test::RunResult;
using vestrel::test::TempDir;
using Words = std::vector<std::string>;

constexpr const char* kCompleteScript =
    R"(source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _vestrel_cli;
       printf '%s\n' "${COMPREPLY[@]}")";

class CompletionTest : public ::testing::Test {
 protected:
  // What bash offers for the last of `words` (the word being typed), sorted; the first word is
  // the program, as typed on the command line.
  Words Complete(const Words& words, const std::string& program = VESTREL_CLI) {
    Words args{"-c", kCompleteScript, "complete", VESTREL_COMPLETION, program};
    args.insert(args.end(), words.begin(), words.end());
    last_ = vestrel::test::Run("bash", args, dir_);
    Words offered;
    std::istringstream lines(last_.out);
    for (std::string line; std::getline(lines, line);) {
      if (!line.empty()) offered.push_back(line);
    }
    std::sort(offered.begin(), offered.end());
    return offered;
  }

  TempDir dir_;
  RunResult last_;
};

bool Contains(const Words& words, const std::string& word) {
  return std::find(words.begin(), words.end(), word) != words.end();
}

// The options that vestrel-cli --help lists: the names before the value of each option line.
std::set<std::string> HelpOptions(const std::string& help) {
  std::set<std::string> options;
  std::istringstream lines(help);
  for (std::string line; std::getline(lines, line);) {
    const auto start = line.find_first_not_of(' ');
    if (start == std::string::npos || line[start] != '-') continue;
    std::istringstream names(line.substr(start, line.find(' ', start) - start));
    for (std::string name; std::getline(names, name, ',');) options.insert(name);
  }
  return options;
}

TEST_F(CompletionTest, OffersExactlyTheOptionsOfHelp) {
  const RunResult help = vestrel::test::Run(VESTREL_CLI, {"--help"}, dir_);
  ASSERT_EQ(help.exitCode, 0);
  const Words offered = Complete({"-"});
  EXPECT_EQ(std::set<std::string>(offered.begin(), offered.end()), HelpOptions(help.out));
  EXPECT_EQ(Complete({"--li"}), Words{"--list-ports"});
  EXPECT_EQ(Complete({"--pro"}), (Words{"--program", "--progress"}));
}

TEST_F(CompletionTest, BaudRatesCoverTheBaudListAndFasterRates) {
  const Words offered = Complete({"-f", "app.hex", "--baud", ""});
  for (std::uint32_t rate : vestrel::app::kBaudRates) {
    EXPECT_TRUE(Contains(offered, std::to_string(rate))) << rate;
  }
  for (const char* fast : {"230400", "460800", "921600"}) {
    EXPECT_TRUE(Contains(offered, fast)) << fast;
  }
  // bash splits "--baud=1152" at the "=".
  EXPECT_EQ(Complete({"--baud", "=", "1152"}), Words{"115200"});
  EXPECT_EQ(Complete({"--baud", "="}), offered);
}

TEST_F(CompletionTest, BaudIndexesAreThoseOfTheBaudList) {
  Words expected;
  for (int i = 0; i < vestrel::app::kBaudRateCount; ++i) expected.push_back(std::to_string(i));
  EXPECT_EQ(Complete({"-b", ""}), expected);
  EXPECT_EQ(Complete({"--baud-index", ""}), expected);
}

TEST_F(CompletionTest, ResetSequencesByName) {
  EXPECT_EQ(Complete({"--reset", "dtr"}), (Words{"dtr-hold-rts-pulse", "dtr-pulse"}));
}

TEST_F(CompletionTest, ProgressModes) {
  EXPECT_EQ(Complete({"--progress", "a"}), (Words{"always", "auto"}));
}

TEST_F(CompletionTest, PortsAreThosePresentInTheCurrentMap) {
  vestrel::testing_support::PortDir ports;
  vestrel::testing_support::PtyPair line;
  ASSERT_TRUE(line.ok());
  ports.Link(2, line.SlavePath());
  ports.Link(7, "/dev/null");  // not a serial device: absent
  TempDir other;
  ports.Link(4, other.Write("plain-file", "x"));  // absent too
  const std::string com2 = ports.Entry(2).string();

  EXPECT_EQ(Complete({"-c", ""}), Words{"2"});
  EXPECT_EQ(Complete({"--com", ""}), Words{"2"});
  EXPECT_EQ(Complete({"--port", ""}), (Words{com2, "COM2"}));
  EXPECT_EQ(Complete({"--port", "C"}), Words{"COM2"});
}

TEST_F(CompletionTest, NoPortsAndNoErrorsWhenTheProgramCannotBeRun) {
  EXPECT_EQ(Complete({"-c", ""}, "/nonexistent/vestrel-cli"), Words{});
  EXPECT_EQ(last_.err, "");
}

TEST_F(CompletionTest, FileOffersHexAndElfFilesAndFolders) {
  const std::string base = dir_.File("");
  dir_.Write("app.hex", ":00000001FF\n");
  dir_.Write("OTHER.HEX", ":00000001FF\n");
  dir_.Write("app.elf", "\x7f" "ELF");
  dir_.Write("notes.txt", "x");
  std::filesystem::create_directory(base + "sub");
  EXPECT_EQ(Complete({"-f", base}),
            (Words{base + "OTHER.HEX", base + "app.elf", base + "app.hex", base + "sub"}));
  EXPECT_EQ(Complete({"--image-out", base + "n"}), Words{base + "notes.txt"});
}

}  // namespace
