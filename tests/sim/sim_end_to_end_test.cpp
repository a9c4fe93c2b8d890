// Starts the built vestrel-sim and talks to it over its pseudo-terminal as the host would.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "protocol/frame.h"
#include "tests/support/sim_process.h"
#include "tools/sim/bootloader_model.h"

namespace vestrel::sim {
namespace {

using test::RemainingMs;
using test::SimProcess;

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
namespace fs = std::filesystem;

constexpr milliseconds kReplyWait{2000};

// The host's side of the line.
class HostLine {
 public:
  explicit HostLine(const std::string& path) : fd_(open(path.c_str(), O_RDWR | O_NOCTTY)) {}
  ~HostLine() {
    if (fd_ >= 0) close(fd_);
  }
  bool ok() const { return fd_ >= 0; }

  bool Write(const Bytes& bytes) {
    return write(fd_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  }

  // One byte within `limit`, or nothing.
  std::optional<std::uint8_t> ReadByte(milliseconds limit) {
    pollfd fd{fd_, POLLIN, 0};
    std::uint8_t b = 0;
    if (poll(&fd, 1, static_cast<int>(limit.count())) == 1 && (fd.revents & POLLIN) != 0 &&
        read(fd_, &b, 1) == 1) {
      return b;
    }
    return std::nullopt;
  }

  bool Sync() {
    for (int probe = 0; probe < 20; ++probe) {
      if (!Write({protocol::kStartByte})) return false;
      if (ReadByte(milliseconds(100))) return true;
    }
    return false;
  }

  // Sends a request and decodes the reply; the stored bytes without the checksum, or the
  // decoder's negative result, or kTimedOut when nothing complete came within `limit`.
  std::pair<int, Bytes> Transact(const Bytes& payload, std::size_t capacity,
                                 milliseconds limit = kReplyWait) {
    if (!Write(protocol::EncodeFrame(payload))) return {protocol::kReadFailed, {}};
    Bytes stored(capacity);
    protocol::FrameDecoder decoder(stored);
    const auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
      const auto b = ReadByte(milliseconds(RemainingMs(deadline)));
      if (!b) break;
      if (auto result = decoder.Feed(*b)) {
        if (*result <= 0) return {*result, {}};
        stored.resize(static_cast<std::size_t>(*result) - 1);
        return {*result, stored};
      }
    }
    return {protocol::kTimedOut, {}};
  }

  int fd() const { return fd_; }

 private:
  int fd_;
};

Bytes Request(std::uint16_t command, std::uint16_t second,
              std::optional<std::uint32_t> address = {}) {
  Bytes payload;
  AppendLe16(payload, command);
  AppendLe16(payload, second);
  if (address) AppendLe32(payload, *address);
  return payload;
}

Bytes ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

class SimEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vestrel-sim-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path dir_;
};

TEST_F(SimEndToEndTest, LoadsAnImageAndDumpsTheFlashOnSigterm) {
  constexpr std::uint32_t kFlash = 0x2000;
  const fs::path link = dir_ / "com7";
  SimProcess sim;
  const auto device =
      sim.Start({"--flash-size", "0x2000", "--version", "1.3", "--erase-ms", "20", "--link",
                 link.string(), "--flash-out", (dir_ / "flash.bin").string(), "--log",
                 (dir_ / "log.jsonl").string(), "--quiet"});
  ASSERT_TRUE(device);
  ASSERT_EQ(fs::read_symlink(link), *device);

  HostLine host(link.string());
  ASSERT_TRUE(host.ok());
  ASSERT_TRUE(host.Sync());

  auto [versionResult, version] = host.Transact(Request(0x0009, 2), 16);
  ASSERT_EQ(versionResult, 7);
  EXPECT_EQ(version, (Bytes{0x00, 0x20, 0x00, 0x00, 0x03, 0x01}));

  EXPECT_GT(host.Transact(Request(0x0003, 2), 16).first, 0);

  // One 128-word block with every escaped value in it, at image offset 0x200.
  const std::uint32_t address = kFlashWindowBase + 0x200;
  Bytes program = Request(0x0002, 128, address);
  Bytes words;
  for (std::uint32_t i = 0; i < 128; ++i) AppendLe32(words, 0x55040500u + i);
  program.insert(program.end(), words.begin(), words.end());
  EXPECT_GT(host.Transact(program, 16).first, 0);

  auto [readResult, readBack] = host.Transact(Request(0x0001, 128, address), 4 * 128 + 24);
  ASSERT_EQ(readResult, 8 + 4 * 128 + 1);
  EXPECT_EQ(Bytes(readBack.begin() + 8, readBack.end()), words);

  // A misaligned read is a violation: no reply, and the line still works afterwards.
  EXPECT_EQ(host.Transact(Request(0x0001, 1, address + 2), 28, milliseconds(300)).first,
            protocol::kTimedOut);

  auto [finishResult, finish] = host.Transact(Request(0x0008, 4, 0x400), 32);
  ASSERT_GT(finishResult, 2);
  EXPECT_EQ(ReadLe16(finish, 0), kStatusSuccess);

  ASSERT_EQ(sim.Terminate(), 0);
  EXPECT_FALSE(fs::exists(fs::symlink_status(link))) << "the link is removed at exit";

  const Bytes flash = ReadAll(dir_ / "flash.bin");
  ASSERT_EQ(flash.size(), kFlash);
  EXPECT_EQ(Bytes(flash.begin() + 0x200, flash.begin() + 0x400), words);
  EXPECT_EQ(std::count(flash.begin(), flash.end(), 0xFF), static_cast<long>(kFlash - 0x200));

  std::ifstream log(dir_ / "log.jsonl");
  const std::string text((std::istreambuf_iterator<char>(log)), {});
  EXPECT_NE(text.find("\"result\":\"violation\""), std::string::npos);
  EXPECT_NE(text.find("\"used_length\":\"0x00000400\""), std::string::npos);
}

TEST_F(SimEndToEndTest, PacedLineWithNoiseAndBurstsStillServesProbesAndRequests) {
  SimProcess sim;
  const auto device = sim.Start({"--pace-baud", "2400", "--noise", "1", "--burst-gap-ms", "20",
                                 "--sync-answer", "0x00", "--sync-answer-count", "2", "--quiet"});
  ASSERT_TRUE(device);
  HostLine host(*device);
  ASSERT_TRUE(host.ok());
  ASSERT_TRUE(host.Sync());
  // The second answer byte and the noise are left for the decoder to discard.
  auto [result, version] = host.Transact(Request(0x0009, 2), 16);
  ASSERT_EQ(result, 7);
  EXPECT_EQ(ReadLe32(version, 0), 0x80000u);
  EXPECT_EQ(sim.Terminate(), 0);
}

TEST_F(SimEndToEndTest, UnplugHangsUpTheHostsLineAndStillDumpsTheFlash) {
  SimProcess sim;
  const auto device = sim.Start({"--flash-size", "0x1000", "--unplug-after-bytes", "12",
                                 "--flash-out", (dir_ / "flash.bin").string(), "--quiet"});
  ASSERT_TRUE(device);
  HostLine host(*device);
  ASSERT_TRUE(host.ok());
  ASSERT_TRUE(host.Sync());  // 2 bytes
  // The 10-byte version request reaches the budget of 12: the reply never comes.
  EXPECT_LT(host.Transact(Request(0x0009, 2), 16).first, 0);

  pollfd fd{host.fd(), POLLIN, 0};
  ASSERT_EQ(poll(&fd, 1, 2000), 1);
  EXPECT_NE(fd.revents & POLLHUP, 0);
  const Bytes probe{0x55};
  EXPECT_FALSE(host.Write(probe)) << "writes to a pulled line fail";

  EXPECT_EQ(sim.WaitExit(milliseconds(5000)), 0);
  EXPECT_EQ(ReadAll(dir_ / "flash.bin").size(), 0x1000u);
}

// Regression: a host whose sync the running application ignored was left without a hint.
TEST_F(SimEndToEndTest, IgnoredSyncIsNotedOnStderrOnceTheApplicationRuns) {
  SimProcess sim;
  const std::string err = (dir_ / "sim.err").string();
  const auto device = sim.Start({}, err);
  ASSERT_TRUE(device);
  {
    HostLine host(*device);
    ASSERT_TRUE(host.ok());
    ASSERT_TRUE(host.Sync());
    ASSERT_TRUE(host.Write(protocol::EncodeFrame(Request(0x0000, 0))));
    EXPECT_FALSE(host.Sync());
    EXPECT_FALSE(host.Sync());
  }
  EXPECT_EQ(sim.Terminate(), 0);
  std::ifstream in(err);
  const std::string text((std::istreambuf_iterator<char>(in)), {});
  const std::string note =
      "vestrel-sim: the application runs, so the sync is ignored; restart vestrel-sim to load "
      "again, as a board without a reset circuit needs a reset\n";
  const auto at = text.find(note);
  EXPECT_NE(at, std::string::npos) << text;
  EXPECT_EQ(text.find(note, at + 1), std::string::npos) << "once, not for every probe: " << text;
}

TEST_F(SimEndToEndTest, StartedApplicationPrintsItsTextAndTheSimulatorEnds) {
  SimProcess sim;
  const auto device =
      sim.Start({"--app-text", "hello\n", "--app-delay-ms", "10", "--exit-after-start", "--quiet"});
  ASSERT_TRUE(device);
  HostLine host(*device);
  ASSERT_TRUE(host.ok());
  ASSERT_TRUE(host.Write(protocol::EncodeFrame(Request(0x0000, 0))));
  std::string text;
  while (text.size() < 6) {
    const auto b = host.ReadByte(milliseconds(2000));
    if (!b) break;
    text += static_cast<char>(*b);
  }
  EXPECT_EQ(text, "hello\n");
  EXPECT_EQ(sim.WaitExit(milliseconds(5000)), 0);
}

}  // namespace
}  // namespace vestrel::sim
