// Pulled lines and babbling lines, end to end with vestrel-cli and the simulator, and the bounds
// of the link's receive and discard on a line that never stops sending.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "protocol/frame.h"
#include "protocol/serial_loader_link.h"
#include "tests/cli/run_program.h"
#include "tests/reliability/child_process.h"
#include "tests/support/hex_text.h"
#include "tests/support/port_dir.h"
#include "tests/support/recording_view.h"
#include "tests/support/sim_process.h"

namespace vestrel::test {
namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t kPulledFlashSize = 0x8000;  // 32 KiB: 8 pages

struct LoggedRequest {
  std::string name;
  std::uint64_t bytes = 0;  // traffic before the request's last byte arrived
};

std::string Field(const std::string& line, const std::string& key) {
  const std::string tag = "\"" + key + "\":";
  const auto at = line.find(tag);
  if (at == std::string::npos) return {};
  auto begin = at + tag.size();
  if (line[begin] == '"') return line.substr(begin + 1, line.find('"', begin + 1) - begin - 1);
  return line.substr(begin, line.find_first_of(",}", begin) - begin);
}

std::vector<LoggedRequest> Requests(const std::string& logPath) {
  std::ifstream log(logPath);
  std::vector<LoggedRequest> requests;
  std::string line;
  while (std::getline(log, line)) {
    if (Field(line, "event") != "request") continue;
    requests.push_back({Field(line, "name"), std::stoull(Field(line, "bytes"))});
  }
  return requests;
}

class PulledLine : public testing::Test {
 protected:
  void SetUp() override {
    HexText hex;
    hex.Data(0x1D000000, Pattern(kPulledFlashSize - 0x100, 4)).End();
    hexFile_ = dir_.Write("app.hex", hex.Text());
  }

  void StartSim(std::vector<std::string> extra) {
    std::vector<std::string> args = {"--flash-size", std::to_string(kPulledFlashSize), "--erase-ms", "50",
                                     "--link",       ports_.Entry(1).string(),   "--quiet"};
    args.insert(args.end(), extra.begin(), extra.end());
    ASSERT_TRUE(sim_.Start(args));
  }

  bool StartCli() {
    return cli_.Start(VESTREL_CLI,
                      {"-f", hexFile_, "-c", "1", "-b", "7", "-a", "--progress", "never"},
                      dir_.File("out.txt"), dir_.File("err.txt"));
  }

  std::string Err() const { return ReadText(dir_.File("err.txt")); }
  std::string Out() const { return ReadText(dir_.File("out.txt")); }

  // The requests of a clean load, with the traffic at each.
  std::vector<LoggedRequest> CleanLoad() {
    StartSim({"--log", dir_.File("clean.jsonl")});
    EXPECT_TRUE(StartCli());
    EXPECT_EQ(cli_.WaitExit(60s), 0) << Err();
    EXPECT_EQ(sim_.Terminate(), 0);
    return Requests(dir_.File("clean.jsonl"));
  }

  TempDir dir_;
  testing_support::PortDir ports_;
  std::string hexFile_;
  SimProcess sim_;
  ChildProcess cli_;
};

struct PullPoint {
  std::string phase;
  std::uint64_t bytes;
};

// The first sync probe, then points in each phase of a load: in the middle of a request, right
// after it, and in the middle of its reply.
std::vector<PullPoint> PullPoints(const std::vector<LoggedRequest>& requests) {
  std::size_t lastProgram = 0, firstRead = 0, finish = 0, erase = 0;
  for (std::size_t i = 0; i < requests.size(); ++i) {
    const std::string& name = requests[i].name;
    if (name == "erase") erase = i;
    if (name == "program" || name == "program-blank") lastProgram = i;
    if (name == "read-memory" && firstRead == 0) firstRead = i;
    if (name == "finish") finish = i;
  }
  std::size_t program = (firstRead + lastProgram) / 2;
  while (requests[program].name == "read-memory") --program;  // a program request near the middle
  const std::vector<std::pair<std::string, std::size_t>> phases = {
      {"erase", erase},
      {"program", program},
      {"read-back", firstRead},
      {"verify", (lastProgram + 1 + finish) / 2},
      {"finish", finish}};
  std::vector<PullPoint> points = {{"baud sync (first probe)", 1}};
  for (const auto& [phase, index] : phases) {
    const std::uint64_t at = requests[index].bytes;
    points.push_back({phase + " (mid request)", at - 3});
    points.push_back({phase + " (after request)", at});
    points.push_back({phase + " (mid reply)", at + 6});
  }
  return points;
}

TEST_F(PulledLine, EveryPhaseEndsWithinThreeSecondsSayingTheDeviceWentAway) {
  const auto requests = CleanLoad();
  ASSERT_GT(requests.size(), 30u);
  for (const PullPoint& point : PullPoints(requests)) {
    SCOPED_TRACE(point.phase);
    StartSim({"--unplug-after-bytes", std::to_string(point.bytes)});
    ASSERT_TRUE(StartCli());
    // The simulator ends when it pulls the line; from then on the loader has three seconds.
    ASSERT_TRUE(sim_.WaitExit(60s).has_value()) << "the line was never pulled";
    const auto pulled = std::chrono::steady_clock::now();
    const std::optional<int> exit = cli_.WaitExit(10s);
    const auto took = std::chrono::steady_clock::now() - pulled;
    ASSERT_TRUE(exit.has_value()) << "still running 10 s after the line was pulled";
    EXPECT_EQ(*exit, 1);
    EXPECT_LT(took, 3s);
    const std::string err = Err();
    EXPECT_NE(err.find("went away (adapter unplugged?)"), std::string::npos) << err;
  }
}

TEST_F(PulledLine, LineBabblingAfterEveryRequestEndsTheLoadSayingSo) {
  StartSim({"--babble", "1", "--log", dir_.File("babble.jsonl")});
  ASSERT_TRUE(StartCli());
  const std::optional<int> exit = cli_.WaitExit(60s);  // a hang guard, not a speed goal
  ASSERT_TRUE(exit.has_value()) << "the load did not end on a babbling line";
  EXPECT_EQ(*exit, 1);
  const std::string err = Err();
  EXPECT_EQ(err.rfind("Error: Read Version Receive Error\n  The line never goes quiet", 0), 0u)
      << err;
  // Without a connect nothing is erased, programmed or started.
  for (const auto& r : Requests(dir_.File("babble.jsonl"))) EXPECT_EQ(r.name, "read-version");
}

TEST_F(PulledLine, OccasionalBabbleIsAbsorbedByTheRetries) {
  StartSim({"--seed", "21", "--babble", "0.01", "--flash-out", dir_.File("flash.bin")});
  ASSERT_TRUE(StartCli());
  const std::optional<int> exit = cli_.WaitExit(120s);
  ASSERT_TRUE(exit.has_value());
  ASSERT_EQ(sim_.Terminate(), 0);
  if (*exit == 0) {
    Bytes expected(kPulledFlashSize, 0xFF);
    const Bytes data = Pattern(kPulledFlashSize - 0x100, 4);
    std::copy(data.begin(), data.end(), expected.begin());
    EXPECT_EQ(ReadBytes(dir_.File("flash.bin")), expected);
  } else {
    // Only the replies that are never asked for again may end the load.
    const std::string err = Err();
    EXPECT_TRUE(err.rfind("Error: Read Version Receive Error", 0) == 0 ||
                err.rfind("Error: Erase Flash Receive Error", 0) == 0)
        << err;
  }
}

// --- the link's own bounds, on a device that sends without end ---

class EndlessDevice : public platform::SerialDevice {
 public:
  explicit EndlessDevice(std::vector<std::uint8_t> pattern, std::size_t& reads)
      : pattern_(std::move(pattern)), reads_(reads) {}
  const std::string& Path() const override { return path_; }
  platform::SerialResult SetupComm(std::uint32_t, std::uint32_t) override { return {}; }
  platform::SerialResult Purge(std::uint32_t) override { return {}; }
  platform::SerialResult GetCommState(platform::DCB&) override { return {}; }
  platform::SerialResult SetCommState(const platform::DCB&) override { return {}; }
  platform::SerialResult GetCommTimeouts(platform::COMMTIMEOUTS&) override { return {}; }
  platform::SerialResult SetCommTimeouts(const platform::COMMTIMEOUTS&) override { return {}; }
  platform::SerialResult SetDtr(bool) override { return {}; }
  platform::SerialResult SetRts(bool) override { return {}; }
  platform::SerialResult Read(std::span<std::uint8_t> buffer) override {
    for (auto& b : buffer) b = pattern_[next_++ % pattern_.size()];
    reads_ += buffer.size();
    return {platform::SerialStatus::Ok, buffer.size(), 0, {}};
  }
  platform::SerialResult Write(std::span<const std::uint8_t> data) override {
    return {platform::SerialStatus::Ok, data.size(), 0, {}};
  }
  platform::SerialResult Drain(std::chrono::milliseconds) override { return {}; }
  platform::SerialResult WaitReadable(std::chrono::milliseconds) override { return {}; }
  platform::SerialResult GetLineErrorCounters(platform::LineErrorCounters&) override { return {}; }
  platform::SerialResult ClearBreak() override { return {}; }

 private:
  std::vector<std::uint8_t> pattern_;
  std::size_t& reads_;
  std::size_t next_ = 0;
  std::string path_ = "/dev/endless";
};

TEST(EndlessLine, ReceiveGivesUpAfterItsByteLimitWhateverTheLineSends) {
  const std::vector<std::vector<std::uint8_t>> lines = {
      {protocol::kStartByte},                             // start bytes without end
      {0x13, protocol::kStartByte, 0xA7, 0x00},           // start bytes and noise
      {protocol::kEscapeByte, protocol::kEscapeByte, 1},  // data that fills the buffer
  };
  for (const auto& pattern : lines) {
    RecordingView view;
    std::size_t reads = 0;
    protocol::SerialLoaderLink link(view, [&](const std::string&) {
      platform::OpenResult opened;
      opened.status = platform::OpenStatus::Opened;
      opened.device = std::make_unique<EndlessDevice>(pattern, reads);
      return opened;
    });
    ASSERT_TRUE(link.OpenPort(protocol::PortTarget{"COM1", "/dev/endless"}, 115200));
    for (std::size_t capacity : {16u, 32u, 536u}) {
      std::vector<std::uint8_t> buffer(capacity);
      reads = 0;
      const int result = link.ReceiveFrame(buffer);
      EXPECT_EQ(result, protocol::kFrameTooLong);
      // It examines at most its byte limit; one read ahead may take a little more off the line.
      EXPECT_LE(reads, protocol::SerialLoaderLink::ReceiveByteLimit(capacity) +
                           protocol::SerialLoaderLink::kReadAheadSize);
    }
    // The discard stops at its time limit on a line that never falls quiet.
    link.DiscardStaleInput();
    EXPECT_GT(reads, 0u);
  }
}

}  // namespace
}  // namespace vestrel::test
