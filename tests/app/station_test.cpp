// The station's logic in process: boards that come and go on a scripted port source, a load
// that answers as told, the real serial numbers and log in a temporary folder, and a clock that
// moves only when the station waits.
#include "app/station.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <condition_variable>
#include <csignal>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "image/board_data.h"
#include "tests/cli/run_program.h"
#include "tests/support/hex_text.h"

namespace vestrel::app {
namespace {

using namespace std::chrono_literals;
using test::Bytes;

constexpr std::uint32_t kDataAddress = 0x1D003F00;

// Each scan takes the next set of ports (the last one stays); a wait lets the loads in progress
// end first (the listener knows them) and moves the clock on by its limit.
class ScriptedPorts final : public StationPortSource, public StationListener {
 public:
  explicit ScriptedPorts(std::vector<std::vector<std::string>> script)
      : script_(std::move(script)) {}

  std::vector<StationPort> Present() override {
    const auto& names = script_[std::min(step_, script_.size() - 1)];
    ++step_;
    std::vector<StationPort> ports;
    for (const std::string& name : names) ports.push_back({name, "/dev/" + name});
    return ports;
  }
  void Wait(std::chrono::milliseconds limit) override {
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [this] { return loading_.empty(); });
    now_ += limit;
  }
  bool Done() const { return step_ > script_.size(); }
  std::chrono::steady_clock::time_point Now() {
    std::lock_guard lock(mutex_);
    return now_;
  }

  // A row turns to loading before the board's thread starts; its result comes once it is logged.
  void OnRow(const PortRow& row) override {
    std::lock_guard lock(mutex_);
    if (row.phase == PortPhase::Loading) loading_.insert(row.port);
  }
  void OnNotice(const std::string&) override {}
  void OnResult(const AttemptRecord& record) override {
    std::lock_guard lock(mutex_);
    loading_.erase(record.port);
    idle_.notify_all();
  }

 private:
  std::vector<std::vector<std::string>> script_;
  std::size_t step_ = 0;
  std::mutex mutex_;
  std::condition_variable idle_;
  std::set<std::string> loading_;
  std::chrono::steady_clock::time_point now_{};
};

struct Load {
  std::string port;
  Bytes data;  // what the image holds at the data address
};

class StationTest : public testing::Test {
 protected:
  StationTest() {
    test::HexText hex;
    hex.Data(0x1D000000, test::Pattern(256, 3)).End();
    lines_ = hex.Lines();
    plan_.address = kDataAddress;
    plan_.start = 1000;
  }

  // Runs the station through `script`; the load fails on the ports in `failing` (their first
  // load only).
  StationEnd Run(std::vector<std::vector<std::string>> script,
                 std::vector<std::string> failing = {},
                 std::optional<std::vector<BoardData>> list = std::nullopt, bool json = true) {
    ScriptedPorts ports(std::move(script));
    std::vector<BoardData> interrupted;
    SerialNumbers serials;
    EXPECT_EQ(serials.Open(State(), plan_, list.value_or(std::vector<BoardData>{}), interrupted),
              "");
    StationLog log;
    EXPECT_EQ(
        log.Open(dir_.File("log.csv"), json ? std::optional(dir_.File("log.jsonl")) : std::nullopt),
        "");
    StationConfig config;
    config.fileName = "app.hex";
    config.lines = lines_;
    config.imageSha256 = "digest";
    config.dataAddress = kDataAddress;
    config.stationName = "bench";
    const auto load = [&](const BoardLoadRequest& request, LoadListener&) {
      std::vector<std::uint8_t> image;
      EXPECT_TRUE(image::UsedImage(request.lines, request.fileName, image));
      const std::uint32_t at = kDataAddress - image::kFlashBase;
      std::lock_guard lock(loadsMutex_);  // boards load at once
      loads_.push_back({request.port.name, Bytes(image.begin() + at, image.begin() + at + 4)});
      BoardResult result;
      result.port = request.port.name;
      const auto fails = std::find(failing.begin(), failing.end(), request.port.name);
      result.exitCode = fails == failing.end() ? 0 : 1;
      if (fails != failing.end()) {
        result.load[Step::Connect] = {true, StepState::Failed, ErrorClass::NoSync,
                                      "ERROR:  COMM Sync\nno answer"};
        failing.erase(fails);
      }
      return result;
    };
    Station station(config, ports, &serials, log, load, ports, [&] { return ports.Now(); });
    return station.Run(interrupted, [&] { return ports.Done() ? "done" : ""; });
  }

  std::string State() const { return dir_.File("log.csv.state"); }
  std::string Csv() const { return test::ReadText(dir_.File("log.csv")); }

  // The rows of the CSV log, each split into its fields (quotes as RFC 4180 has them).
  std::vector<std::vector<std::string>> CsvRows() const {
    std::vector<std::vector<std::string>> rows(1);
    std::string field;
    bool quoted = false;
    const std::string text = Csv();
    for (std::size_t i = 0; i < text.size(); ++i) {
      const char c = text[i];
      if (quoted && c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
        field += '"';
        ++i;
      } else if (c == '"') {
        quoted = !quoted;
      } else if (!quoted && c == ',') {
        rows.back().push_back(std::exchange(field, {}));
      } else if (!quoted && c == '\n') {
        rows.back().push_back(std::exchange(field, {}));
        rows.emplace_back();
      } else {
        field += c;
      }
    }
    rows.pop_back();  // after the last line end
    return rows;
  }

  std::vector<nlohmann::json> JsonLines() const {
    std::vector<nlohmann::json> lines;
    std::istringstream in(test::ReadText(dir_.File("log.jsonl")));
    for (std::string line; std::getline(in, line);) lines.push_back(nlohmann::json::parse(line));
    return lines;
  }

  test::TempDir dir_;
  std::vector<std::string> lines_;
  SerialPlan plan_;
  std::mutex loadsMutex_;
  std::vector<Load> loads_;
};

Bytes U32(std::uint32_t value) {
  return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
          static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

TEST_F(StationTest, BoardsOneAfterAnotherGetTheNextNumbersOnceEach) {
  // c stays plugged in to the end: it is loaded once.
  const StationEnd end = Run(
      {{"a"}, {"a"}, {"a"}, {}, {"b"}, {"b"}, {"b"}, {}, {"c"}, {"c"}, {"c"}, {"c"}, {"c"}, {"c"}});
  EXPECT_EQ(end.fault, "");
  EXPECT_EQ(end.totals.ok, 3u);
  ASSERT_EQ(loads_.size(), 3u);
  for (std::uint32_t i = 0; i < 3; ++i) {
    EXPECT_EQ(loads_[i].port, std::string(1, static_cast<char>('a' + i)));
    EXPECT_EQ(loads_[i].data, U32(1000 + i));
  }
  const auto rows = CsvRows();
  ASSERT_EQ(rows.size(), 4u) << Csv();
  EXPECT_EQ(rows[0][0], "time");
  for (std::size_t r = 1; r < rows.size(); ++r) {
    ASSERT_EQ(rows[r].size(), rows[0].size()) << Csv();
    EXPECT_EQ(rows[r][4], std::to_string(999 + r));  // board_serial
    EXPECT_EQ(rows[r][5], "written");
    EXPECT_EQ(rows[r][7], "ok");
  }
  const auto json = JsonLines();
  ASSERT_EQ(json.size(), 3u);
  EXPECT_EQ(json[2]["board_serial"], "1002");
  EXPECT_EQ(json[2]["station"], "bench");
  EXPECT_EQ(json[2]["image_sha256"], "digest");
}

TEST_F(StationTest, AFailedBoardBurnsItsNumberUnlessFailedOnesAreReused) {
  for (const bool reuse : {false, true}) {
    SCOPED_TRACE(reuse ? "--reuse-failed" : "burnt");
    std::filesystem::remove(State());
    std::filesystem::remove(dir_.File("log.csv"));
    loads_.clear();
    plan_.reuseFailed = reuse;
    const StationEnd end = Run({{"a"}, {"a"}, {"a"}, {}, {"a"}, {"a"}, {"a"}}, {"a"});
    ASSERT_EQ(loads_.size(), 2u);
    EXPECT_EQ(loads_[1].data, U32(reuse ? 1000 : 1001));
    EXPECT_EQ(end.totals.failed, 1u);
    EXPECT_EQ(end.totals.burnt,
              reuse ? std::vector<std::string>{} : std::vector<std::string>{"1000"});
    const auto rows = CsvRows();
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[1][5], reuse ? "reusable" : "burnt");
    EXPECT_EQ(rows[1][7], "failed");
    EXPECT_EQ(rows[1][8], "no-sync");
    EXPECT_EQ(rows[1][9], "ERROR:  COMM Sync no answer");
  }
}

TEST_F(StationTest, AUsedUpListStopsTheStationBeforeABoardGoesWithoutItsNumber) {
  plan_.listPath = "list.csv";
  const std::vector<BoardData> list = {{0, "SN-A", {0x11, 0x22, 0x33, 0x44}},
                                       {1, "SN-B", {0x55, 0x66, 0x77, 0x88}}};
  const StationEnd end =
      Run({{"a"}, {"a", "b"}, {"a", "b", "c"}, {"a", "b", "c"}, {"a", "b", "c"}}, {}, list);
  // a and b load at once: a was there first and got the first line.
  ASSERT_EQ(loads_.size(), 2u);
  std::sort(loads_.begin(), loads_.end(),
            [](const Load& x, const Load& y) { return x.port < y.port; });
  EXPECT_EQ(loads_[0].data, (Bytes{0x11, 0x22, 0x33, 0x44}));
  EXPECT_EQ(loads_[1].data, (Bytes{0x55, 0x66, 0x77, 0x88}));
  EXPECT_EQ(end.fault,
            "the serial list list.csv is used up (2 lines); no board is loaded without its number");
}

TEST_F(StationTest, NumbersOfAStationThatDiedAreLoggedAsBurntAndNeverHandedOutAgain) {
  std::ofstream(State()) << R"({"kind":"counter","next":1006,"pending":[1004,1005],"reusable":[]})";
  Run({{"a"}, {"a"}, {"a"}});
  ASSERT_EQ(loads_.size(), 1u);
  EXPECT_EQ(loads_[0].data, U32(1006));
  const auto rows = CsvRows();
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(rows[1][4] + rows[1][5] + rows[1][7], "1004burntinterrupted");
  EXPECT_EQ(rows[2][4], "1005");
  EXPECT_EQ(nlohmann::json::parse(test::ReadText(State()))["pending"], nlohmann::json::array());
}

TEST_F(StationTest, ALogThatCannotBeWrittenStopsTheLoading) {
  // The disk fills up after the first board's row: the second board's number stays pending, so
  // that the next start logs it as burnt, and no third board is loaded.
  StationLog probe;
  ASSERT_EQ(probe.Open(dir_.File("size.csv"), std::nullopt), "");
  const auto headerSize = test::ReadText(dir_.File("size.csv")).size();
  AttemptRecord row;
  row.station = "bench";
  row.port = "a";
  row.boardSerial = "1000";
  row.serialStatus = "written";
  row.imageSha256 = "digest";
  row.result = "ok";
  rlimit old{};
  getrlimit(RLIMIT_FSIZE, &old);
  const auto previous = std::signal(SIGXFSZ, SIG_IGN);
  rlimit small = old;
  small.rlim_cur = headerSize + CsvRow(row).size() + 8;  // the header and one row
  setrlimit(RLIMIT_FSIZE, &small);
  const StationEnd end =
      Run({{"a"}, {"a"}, {"a"}, {}, {"b"}, {"b"}, {"b"}, {}, {"c"}, {"c"}, {"c"}}, {}, std::nullopt,
          false);
  setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, previous);
  EXPECT_EQ(loads_.size(), 2u);
  EXPECT_NE(end.fault.find("cannot write the log"), std::string::npos) << end.fault;
  EXPECT_EQ(CsvRows().size(), 2u) << Csv();  // no half row either
  EXPECT_EQ(nlohmann::json::parse(test::ReadText(State()))["pending"],
            nlohmann::json::array({1001}));
}

TEST_F(StationTest, SerialListsTakeNumbersOrBytesAndNameTheLineTheyRefuse) {
  const image::DataFormat format = *image::ParseDataFormat("u32be");
  std::string why;
  const auto list = ReadSerialList(
      dir_.Write("list.csv", "# value, bytes\n1042\n\nMAC-1, 00:11:22:AA:bb:CC\n \"SN 7\",0102\n"),
      format, why);
  ASSERT_TRUE(list) << why;
  ASSERT_EQ(list->size(), 3u);
  EXPECT_EQ((*list)[0].bytes, (Bytes{0x00, 0x00, 0x04, 0x12}));
  EXPECT_EQ((*list)[1].text, "MAC-1");
  EXPECT_EQ((*list)[1].bytes, (Bytes{0x00, 0x11, 0x22, 0xAA, 0xBB, 0xCC}));
  EXPECT_EQ((*list)[2].text, "SN 7");
  EXPECT_EQ((*list)[2].key, 2u);
  const std::pair<const char*, const char*> bad[] = {
      {"1\nSN-2\n", "line 2: \"SN-2\" is no number that u32be holds"},
      {"1\n2,0G\n", "line 2: the second column is not bytes in hex"},
      {"4294967296\n", "line 1: \"4294967296\" is no number"},
  };
  for (const auto& [text, message] : bad) {
    EXPECT_FALSE(ReadSerialList(dir_.Write("bad.csv", text), format, why)) << text;
    EXPECT_NE(why.find(message), std::string::npos) << why;
  }
}

TEST_F(StationTest, ASecondStationOnTheSameLogIsRefused) {
  StationLog first, second;
  ASSERT_EQ(first.Open(dir_.File("log.csv"), std::nullopt), "");
  EXPECT_NE(second.Open(dir_.File("log.csv"), std::nullopt).find("held by another program"),
            std::string::npos);
}

}  // namespace
}  // namespace vestrel::app
