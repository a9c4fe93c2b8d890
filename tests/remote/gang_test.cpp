// Eight boards in one vestrel-cli run, on local and remote ports: one pulled mid-load, one on a
// noisy line. The seven good ones get the image; the table and both reports say which board
// failed and why.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/cli/run_program.h"
#include "tests/support/elf_build.h"
#include "tests/support/hex_text.h"
#include "tests/support/port_dir.h"
#include "tests/support/sim_process.h"

namespace vestrel::test {
namespace {

constexpr std::uint32_t kGangFlashSize = 0x4000;

// The line of `text` that holds `part`.
std::string LineWith(const std::string& text, const std::string& part) {
  const auto at = text.find(part);
  if (at == std::string::npos) return {};
  const auto begin = text.rfind('\n', at) + 1;
  return text.substr(begin, text.find('\n', at) - begin);
}

struct Board {
  std::vector<std::string> simArgs;
  bool good = true;
  std::string port = {};  // filled when started
};

TEST(GangLoad, EightBoardsAtOnceOnePulledOneNoisy) {
  TempDir dir;
  testing_support::PortDir ports;
  const Bytes app = Pattern(5000, 3);
  HexText hex;
  hex.Data(0x1D000000, app).End();
  const std::string hexFile = dir.Write("app.hex", hex.Text());
  Bytes expected(kGangFlashSize, 0xFF);
  std::copy(app.begin(), app.end(), expected.begin());

  // Local ports 0..3 (COMn of the port directory, or its path), remote ports 4..7.
  std::vector<Board> boards = {
      {{}, true},
      {{"--unplug-after-bytes", "3000"}, false},  // pulled in the program step
      {{}},
      {{}},
      {{"--listen", "rfc2217://127.0.0.1:0", "--seed", "5", "--noise", "0.3"}},
      {{"--listen", "rfc2217://127.0.0.1:0"}},
      {{"--listen", "rfc2217://127.0.0.1:0"}},
      {{"--listen", "socket://127.0.0.1:0"}},
  };
  std::vector<std::unique_ptr<SimProcess>> sims;
  for (std::size_t i = 0; i < boards.size(); ++i) {
    std::vector<std::string> args = boards[i].simArgs;
    args.insert(args.end(),
                {"--flash-size", std::to_string(kGangFlashSize), "--erase-ms", "50", "--flash-out",
                 dir.File("flash" + std::to_string(i) + ".bin"), "--quiet"});
    if (i < 4) args.insert(args.end(), {"--link", ports.Entry(unsigned(i) + 1).string()});
    sims.push_back(std::make_unique<SimProcess>());
    const std::optional<std::string> line = sims.back()->Start(args);
    ASSERT_TRUE(line) << i;
    boards[i].port = i < 2   ? "COM" + std::to_string(i + 1)
                     : i < 4 ? ports.Entry(unsigned(i) + 1).string()
                             : *line;
  }
  // Half on the command line, half from a ports file.
  std::ofstream(dir.File("ports.txt")) << "# the second rack\n"
                                       << boards[4].port << "\n\n"
                                       << boards[5].port << "\n  " << boards[6].port << "  \n"
                                       << boards[7].port << "\n";
  std::vector<std::string> args = {"-f",
                                   hexFile,
                                   "--baud",
                                   "921600",
                                   "-a",
                                   "--ports-from",
                                   dir.File("ports.txt"),
                                   "--report",
                                   dir.File("report.json"),
                                   "--junit",
                                   dir.File("junit.xml")};
  for (std::size_t i = 0; i < 4; ++i) args.insert(args.end(), {"--port", boards[i].port});
  const RunResult r = test::Run(VESTREL_CLI, args, dir);

  EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
  const std::string pulled = boards[1].port;
  const std::string table = r.out.substr(std::min(r.out.find("\nPort "), r.out.size()));
  for (std::size_t i = 0; i < boards.size(); ++i) {
    SCOPED_TRACE(boards[i].port);
    EXPECT_EQ(sims[i]->Terminate().has_value(), true);
    if (boards[i].good) {
      EXPECT_EQ(ReadBytes(dir.File("flash" + std::to_string(i) + ".bin")), expected);
    }
    // In a log every line names its board.
    EXPECT_TRUE(Contains(r.out, "[" + boards[i].port + "] Programming: ")) << r.out;
    const std::string row = LineWith(table, boards[i].port + " ");
    EXPECT_TRUE(Contains(row, boards[i].good ? " ok " : " FAILED ")) << row;
    EXPECT_TRUE(Contains(row, " v01.00 ") && Contains(row, " 16384 ")) << row;
  }
  EXPECT_TRUE(Contains(r.err, "[" + pulled + "] Error: ")) << r.err;
  EXPECT_TRUE(Contains(LineWith(table, pulled + " "), "went away (adapter unplugged?)")) << r.out;
  EXPECT_TRUE(Contains(r.out, "7 of 8 boards succeeded; exit code 1\n")) << r.out;

  const auto json = nlohmann::json::parse(ReadText(dir.File("report.json")));
  EXPECT_EQ(json["succeeded"], 7);
  EXPECT_EQ(json["exit_code"], 1);
  for (const auto& board : json["results"]) {
    if (board["port"] != pulled) continue;
    EXPECT_EQ(board["result"], "failed");
    EXPECT_EQ(board["error"]["class"], "link-lost");
  }
  const std::string junit = ReadText(dir.File("junit.xml"));
  EXPECT_EQ(Count(junit, "<testcase "), 8u) << junit;
  EXPECT_EQ(Count(junit, "<failure "), 1u) << junit;
  EXPECT_TRUE(Contains(junit, R"(name=")" + pulled + R"(")")) << junit;
  EXPECT_TRUE(Contains(LineWith(junit, "<failure "), "went away")) << junit;
}

// Regressions: a gang load refused ELF files; a board that never answered the sync failed with
// an empty reason in the table, both reports and stderr; a report that could not be written was
// found only after every board had been flashed.
TEST(GangLoad, ElfFileAndABoardThatNeverAnswers) {
  TempDir dir;
  testing_support::PortDir ports;
  const Bytes app = Pattern(3000, 4);
  const std::string elf = BuildElf(dir, "app.elf", {{0x1D000000, app}});
  ASSERT_FALSE(elf.empty());
  SimProcess good, silent;
  ASSERT_TRUE(
      good.Start({"--flash-size", std::to_string(kGangFlashSize), "--erase-ms", "50", "--link",
                  ports.Entry(1).string(), "--flash-out", dir.File("flash.bin"), "--quiet"}));
  ASSERT_TRUE(silent.Start({"--silent", "--link", ports.Entry(2).string(), "--quiet"}));
  const std::vector<std::string> common = {"-f",   elf,      "-b7",  "-a",     "--port",
                                           "COM1", "--port", "COM2", "--quiet"};

  std::vector<std::string> args = common;
  args.insert(args.end(), {"--junit", dir.File("no/such/folder/boards.xml")});
  const RunResult refused = test::Run(VESTREL_CLI, args, dir);
  EXPECT_EQ(refused.exitCode, 2);
  EXPECT_TRUE(Contains(refused.err, "cannot write")) << refused.err;

  args = common;
  args.insert(args.end(), {"--report", dir.File("boards.json"), "--junit", dir.File("boards.xml")});
  const RunResult r = test::Run(VESTREL_CLI, args, dir);
  EXPECT_EQ(r.exitCode, 1) << r.err;
  const std::string why = "No answer from the bootloader on COM2 to 20 sync probes at 115200 baud";
  EXPECT_TRUE(Contains(r.err, "[COM2] Error: ERROR:  COMM Sync\n  " + why)) << r.err;
  EXPECT_EQ(good.Terminate(), 0);
  Bytes expected(kGangFlashSize, 0xFF);
  std::copy(app.begin(), app.end(), expected.begin());
  EXPECT_EQ(ReadBytes(dir.File("flash.bin")), expected);

  const auto json = nlohmann::json::parse(ReadText(dir.File("boards.json")));
  EXPECT_EQ(json["results"][0]["result"], "ok");
  const auto& board = json["results"][1];
  EXPECT_EQ(board["error"]["class"], "no-sync");
  EXPECT_TRUE(Contains(board["first_error"].get<std::string>(), why)) << board;
  EXPECT_TRUE(Contains(ReadText(dir.File("boards.xml")),
                       "<failure type=\"no-sync\" message=\"ERROR:  COMM Sync " + why));
}

}  // namespace
}  // namespace vestrel::test
