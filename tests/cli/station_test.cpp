// vestrel-cli station and doctor end to end: simulated boards come and go as pseudo-terminals
// in a watched port directory, the station loads each with its own serial number and logs it;
// the doctor finds a held port and a user outside the port's group.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "app/cli/cli_options.h"
#include "platform/serial_device.h"
#include "tests/cli/run_program.h"
#include "tests/reliability/child_process.h"
#include "tests/support/pty_pair.h"
#include "tests/support/sim_process.h"

namespace vestrel::test {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr std::uint32_t kBoardFlash = 0x4000;
constexpr std::uint32_t kDataOffset = 0x3F00;  // of the serial number, in the flash

std::size_t Lines(const std::string& text) {
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

// Waits until `done` holds, for at most `limit` (a hang guard, not a timing check).
template <typename Done>
bool Eventually(Done done, std::chrono::milliseconds limit = 60s) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

class StationBench : public testing::Test {
 protected:
  StationBench() {
    HexText hex;
    hex.Data(0x1D000000, Pattern(3000, 5)).End();
    hexFile_ = dir_.Write("app.hex", hex.Text());
    fs::create_directory(dir_.File("ports"));
  }

  void StartStation(std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"station",
                                     "-f",
                                     hexFile_,
                                     "--baud",
                                     "115200",
                                     "--watch-ports",
                                     dir_.File("ports"),
                                     "--serial",
                                     "0x9D003F00:u32le:500:2",
                                     "--log",
                                     Log(),
                                     "--log-json",
                                     dir_.File("log.jsonl"),
                                     "--settle-ms",
                                     "100"};
    args.insert(args.end(), extra.begin(), extra.end());
    station_ = std::make_unique<ChildProcess>();
    ASSERT_TRUE(station_->Start(VESTREL_CLI, args, dir_.File("out.txt"), dir_.File("err.txt")));
    // The heading comes once the ports are watched.
    ASSERT_TRUE(Eventually([&] { return Contains(ReadText(dir_.File("out.txt")), "Station: "); }));
  }

  // Plugs a board in as COMn of the watched directory.
  std::unique_ptr<SimProcess> Plug(unsigned n, std::vector<std::string> args = {},
                                   const char* eraseMs = "20") {
    args.insert(args.end(),
                {"--link", dir_.File("ports/com" + std::to_string(n)), "--flash-size",
                 std::to_string(kBoardFlash), "--erase-ms", eraseMs, "--flash-out", Flash(n),
                 "--log", dir_.File("sim" + std::to_string(n) + ".jsonl"), "--quiet"});
    auto sim = std::make_unique<SimProcess>();
    EXPECT_TRUE(sim->Start(args));
    return sim;
  }

  std::uint32_t SerialIn(unsigned n) const {
    const Bytes flash = ReadBytes(Flash(n));
    if (flash.size() != kBoardFlash) return 0;
    return std::uint32_t{flash[kDataOffset]} | std::uint32_t{flash[kDataOffset + 1]} << 8 |
           std::uint32_t{flash[kDataOffset + 2]} << 16 |
           std::uint32_t{flash[kDataOffset + 3]} << 24;
  }

  std::string Log() const { return dir_.File("log.csv"); }
  std::string Flash(unsigned n) const { return dir_.File("flash" + std::to_string(n) + ".bin"); }
  bool Rows(std::size_t n) {
    return Eventually([&] { return Lines(ReadText(Log())) >= n + 1; });
  }

  TempDir dir_;
  std::string hexFile_;
  std::unique_ptr<ChildProcess> station_;
};

TEST_F(StationBench, BoardsPluggedOneAfterAnotherGetTheirNumbersAndAFailureIsBurnt) {
  StartStation();
  // Three boards one after another, the third left plugged in while a fourth one, which
  // refuses the closing report, comes and goes.
  std::unique_ptr<SimProcess> third;
  for (unsigned n = 1; n <= 3; ++n) {
    auto sim = Plug(n);
    ASSERT_TRUE(Rows(n)) << ReadText(Log());
    if (n < 3)
      ASSERT_TRUE(sim->Terminate());
    else
      third = std::move(sim);
  }
  auto failing = Plug(4, {"--finish-status", "0x45"});
  ASSERT_TRUE(Rows(4)) << ReadText(Log());
  ASSERT_TRUE(failing->Terminate());
  ASSERT_TRUE(third->Terminate());
  station_->Signal(SIGINT);
  EXPECT_EQ(station_->WaitExit(30s), 130);

  const Bytes image = ReadBytes(Flash(1));
  for (unsigned n = 1; n <= 3; ++n) {
    EXPECT_EQ(SerialIn(n), 500 + 2 * (n - 1)) << n;
    Bytes flash = ReadBytes(Flash(n));
    ASSERT_EQ(flash.size(), kBoardFlash);
    const Bytes app = Pattern(3000, 5);
    EXPECT_TRUE(std::equal(app.begin(), app.end(), flash.begin())) << n;
  }
  // The board left plugged in was erased once.
  EXPECT_EQ(Count(ReadText(dir_.File("sim3.jsonl")), "\"name\":\"erase\""), 1u);

  const std::string csv = ReadText(Log());
  std::istringstream rows(csv);
  std::string header, row;
  std::getline(rows, header);
  EXPECT_EQ(header.rfind("time,station,port,adapter_serial,board_serial,serial_status,", 0), 0u);
  std::vector<std::string> results;
  while (std::getline(rows, row)) results.push_back(row);
  ASSERT_EQ(results.size(), 4u) << csv;
  EXPECT_TRUE(Contains(results[3], ",506,burnt,") &&
              Contains(results[3], ",failed,finish-refused,"))
      << csv;

  std::istringstream json(ReadText(dir_.File("log.jsonl")));
  std::vector<nlohmann::json> lines;
  for (std::string line; std::getline(json, line);) lines.push_back(nlohmann::json::parse(line));
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0]["board_serial"], "500");
  EXPECT_EQ(lines[0]["result"], "ok");
  EXPECT_EQ(lines[3]["result"], "failed");
  EXPECT_EQ(lines[3]["serial_status"], "burnt");
  EXPECT_EQ(lines[3]["error_class"], "finish-refused");
  EXPECT_NE(lines[3]["message"].get<std::string>(), "");
  EXPECT_EQ(lines[0]["image_sha256"].get<std::string>().size(), 64u);
  const std::string out = ReadText(dir_.File("out.txt"));
  EXPECT_TRUE(Contains(out, "Boards: 3 ok, 1 failed; burnt serials: 506; next serial 508")) << out;
}

TEST_F(StationBench, AStationKilledMidLoadNeverHandsItsNumberOutAgain) {
  StartStation();
  auto slow = Plug(1, {}, "3000");  // killed during this board's erase
  ASSERT_TRUE(
      Eventually([&] { return Contains(ReadText(Log() + ".state"), "\"pending\":[500]"); }));
  station_->Kill();
  ASSERT_TRUE(slow->Terminate());

  StartStation();
  auto next = Plug(2);
  ASSERT_TRUE(Rows(2)) << ReadText(Log());
  station_->Signal(SIGINT);
  EXPECT_EQ(station_->WaitExit(30s), 130);
  ASSERT_TRUE(next->Terminate());
  EXPECT_EQ(SerialIn(2), 502u);
  const std::string csv = ReadText(Log());
  EXPECT_TRUE(Contains(csv, ",500,burnt,") && Contains(csv, ",interrupted,")) << csv;
}

TEST(StationOptions, UsageErrors) {
  const std::pair<std::vector<const char*>, const char*> cases[] = {
      {{"--watch-ports", "/dev/x*", "--log", "l.csv"}, "a baud rate is needed"},
      {{"--baud", "9600", "--log", "l.csv"}, "no ports"},
      {{"--baud", "9600", "--port", "p", "--log", "l.csv", "--serial", "0x1D000000:u16le"},
       "unknown format"},
      {{"--baud", "9600", "--port", "p", "--log", "l.csv", "--serial", "0x1D000000:u32le:1:0"},
       "expected ADDR:FORMAT"},
      {{"--baud", "9600", "--port", "p", "--log", "l.csv", "--serial", "0x1D000000:ascii:3:1000"},
       "does not fit"},
      {{"--baud", "9600", "--port", "p", "--log", "l.csv", "--serial", "0x1D000000:u32le:5",
        "--serials-from", "s.csv"},
       "--serial takes ADDR:FORMAT alone"},
  };
  for (const auto& [args, message] : cases) {
    std::vector<const char*> argv = {"vestrel-cli", "station", "-f", "app.hex"};
    argv.insert(argv.end(), args.begin(), args.end());
    const cli::CliCommand command =
        cli::ParseCommandLine(static_cast<int>(argv.size()), argv.data());
    EXPECT_EQ(command.exitCode, 2) << message;
    EXPECT_TRUE(Contains(command.err, message)) << command.err;
  }
  const char* good[] = {"vestrel-cli", "station", "-f",   "a.hex",    "--baud",
                        "9600",        "--port",  "COM3", "--serial", "0xBD07F000:bcd:4:20240001:3",
                        "--log",       "l.csv"};
  const cli::CliCommand command = cli::ParseCommandLine(12, good);
  ASSERT_EQ(command.action, cli::CliAction::Station) << command.err;
  EXPECT_EQ(command.station.serial->address, 0xBD07F000u);
  EXPECT_EQ(command.station.serial->format.width, 4u);
  EXPECT_EQ(command.station.serial->start, 20240001u);
  EXPECT_EQ(command.station.serial->step, 3u);
}

TEST(StationStart, ASerialInsideTheFilesDataIsAUsageError) {
  TempDir dir;
  HexText hex;
  hex.Data(0x1D000000, Pattern(256, 1)).End();
  const RunResult r = test::Run(
      VESTREL_CLI,
      {"station", "-f", dir.Write("app.hex", hex.Text()), "--baud", "9600", "--watch-ports",
       dir.File("ports"), "--serial", "0x9D000080:u32le", "--log", dir.File("log.csv")},
      dir);
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_TRUE(Contains(r.err, "lies inside the file's own data")) << r.err;
  EXPECT_FALSE(fs::exists(dir.File("log.csv")));
}

TEST(Doctor, AnAnsweringPortThenAHeldOne) {
  TempDir dir;
  SimProcess sim;
  const std::optional<std::string> device = sim.Start({"--flash-size", "0x4000", "--quiet"});
  ASSERT_TRUE(device);
  const RunResult ok = test::Run(VESTREL_CLI, {"doctor", *device, "--baud", "115200"}, dir);
  EXPECT_EQ(ok.exitCode, 0) << ok.out;
  EXPECT_TRUE(Contains(ok.out, "A bootloader v01.00 answered at 115200 baud")) << ok.out;

  const platform::OpenResult held = platform::OpenSerialDevice(*device);
  ASSERT_EQ(held.status, platform::OpenStatus::Opened);
  const RunResult busy = test::Run(VESTREL_CLI, {"doctor", *device}, dir);
  EXPECT_EQ(busy.exitCode, 1) << busy.out;
  EXPECT_TRUE(Contains(
      busy.out, "PROBLEM  " + *device + " is held by process " + std::to_string(getpid()) + " ("))
      << busy.out;
  EXPECT_TRUE(Contains(busy.out, "  fix:   kill " + std::to_string(getpid()))) << busy.out;
}

TEST(Doctor, AUserOutsideThePortsGroup) {
  const group* dialout = getgrnam("dialout");
  if (geteuid() != 0 || !dialout || access("/usr/bin/setpriv", X_OK) != 0)
    GTEST_SKIP() << "needs root, the group dialout and setpriv to run the doctor as nobody";
  TempDir dir;
  testing_support::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  ASSERT_EQ(chown(pty.SlavePath().c_str(), 0, dialout->gr_gid), 0);
  ASSERT_EQ(chmod(pty.SlavePath().c_str(), 0660), 0);
  const RunResult r = test::Run("/usr/bin/setpriv",
                                {"--reuid=65534", "--regid=65534", "--clear-groups", "--",
                                 VESTREL_CLI, "doctor", pty.SlavePath()},
                                dir);
  EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
  EXPECT_TRUE(Contains(
      r.out, "PROBLEM  You (nobody) are not in the group dialout that owns " + pty.SlavePath()))
      << r.out;
  EXPECT_TRUE(Contains(r.out, "  fix:   sudo adduser nobody dialout")) << r.out;
}

}  // namespace
}  // namespace vestrel::test
