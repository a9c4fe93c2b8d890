// Everything a user can hand vestrel-cli badly: HEX files, command lines and ports. Each gets a
// clear message and the documented exit code, and nothing reaches the target afterwards: the
// simulator stands as COM1 with a log, which must show no probe and no request.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "platform/serial_device.h"
#include "tests/cli/run_program.h"
#include "tests/reliability/child_process.h"
#include "tests/support/hex_text.h"
#include "tests/support/port_dir.h"
#include "tests/support/sim_process.h"

namespace vestrel::test {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

struct Outcome {
  std::optional<int> exitCode;
  std::string out;
  std::string err;
};

bool HaveSetpriv() {
  return access("/usr/bin/setpriv", X_OK) == 0;
}

class BadInput : public testing::Test {
 protected:
  void SetUp() override {
    // Readable by the unprivileged user that the permission cases run as.
    fs::permissions(dir_.File(""), fs::perms::owner_all | fs::perms::group_read |
                                       fs::perms::group_exec | fs::perms::others_read |
                                       fs::perms::others_exec);
    HexText hex;
    hex.Data(0x1D000000, Pattern(600, 1)).End();
    goodHex_ = hex.Text();
    device_ = sim_.Start({"--flash-size", "0x4000", "--link", ports_.Entry(1).string(), "--log",
                          dir_.File("sim.jsonl"), "--quiet"});
    ASSERT_TRUE(device_);
  }

  // Runs vestrel-cli; `unprivileged` runs it as nobody where the tests run as root.
  Outcome Cli(std::vector<std::string> args, bool unprivileged = false) {
    args.insert(args.end(), {"--progress", "never"});
    std::string program = VESTREL_CLI;
    if (unprivileged && geteuid() == 0) {
      args.insert(args.begin(),
                  {"--reuid=65534", "--regid=65534", "--clear-groups", "--", VESTREL_CLI});
      program = "/usr/bin/setpriv";
    }
    ChildProcess cli;
    EXPECT_TRUE(cli.Start(program, args, dir_.File("out.txt"), dir_.File("err.txt")));
    Outcome o;
    o.exitCode =
        cli.WaitExit(90s);  // a hang guard: a 9 MiB file under the sanitizers on a busy machine
    o.out = ReadText(dir_.File("out.txt"));
    o.err = ReadText(dir_.File("err.txt"));
    return o;
  }

  // The simulator's log after it has ended: no probe, no request.
  void ExpectNothingSent() {
    ASSERT_EQ(sim_.Terminate(), 0);
    const std::string log = ReadText(dir_.File("sim.jsonl"));
    EXPECT_EQ(log.find("\"event\":\"probe\""), std::string::npos) << log;
    EXPECT_EQ(log.find("\"event\":\"request\""), std::string::npos) << log;
  }

  std::string Write(const std::string& name, const std::string& text) {
    return dir_.Write(name, text);
  }

  TempDir dir_;
  testing_support::PortDir ports_;
  SimProcess sim_;
  std::optional<std::string> device_;
  std::string goodHex_;
};

struct FileCase {
  std::string name;
  std::function<std::string(BadInput&)> make;  // gives the path to pass with -f
  std::string reason;                          // in the box under "HEX File Error"
  bool unprivileged = false;
};

TEST_F(BadInput, HexFilesFailTheRunBeforeAnythingIsSent) {
  const std::string binary = [] {
    std::string b(4096, '\0');
    std::uint32_t s = 7;
    for (char& c : b) c = static_cast<char>(1 + ((s = s * 1664525u + 1013904223u) >> 24) % 255);
    return b;
  }();
  const std::vector<FileCase> cases = {
      {"binary", [&](BadInput&) { return Write("fw.bin", binary); },
       "fw.bin looks like a binary file: give the HEX or ELF file the build made"},
      {"a text file",
       [&](BadInput&) { return Write("README.md", "# Vestrel\n\nVestrel loads firmware.\n"); },
       "README.md is not an Intel HEX or ELF file (line 1 does not start with ':')"},
      {"truncated",
       [&](BadInput&) {
         // Cut inside a record, as a copy that stopped part-way leaves it.
         return Write("cut.hex", goodHex_.substr(0, goodHex_.find(':', goodHex_.size() / 2) + 20));
       },
       "is too short"},
      {"cut after a whole line",
       [&](BadInput&) {
         return Write("cut2.hex", goodHex_.substr(0, goodHex_.find(":00000001FF")));
       },
       "ends without its end-of-file record: truncated?"},
      {"empty", [&](BadInput&) { return Write("empty.hex", ""); }, "empty.hex: the file is empty"},
      {"data at virtual addresses only",
       [&](BadInput&) {
         return Write("kseg0.hex", HexText().Data(0x9D000000, Pattern(64)).End().Text());
       },
       "virtual addresses"},
      {"wrong checksum after the end record",
       [&](BadInput&) { return Write("after.hex", goodHex_ + ":0400000001020304F3\r\n"); },
       "wrong checksum"},
      {"line shorter than its count",
       [&](BadInput&) { return Write("short.hex", ":10000000AABB\r\n"); },
       "line 1 is too short: byte count 0x10 needs 43 characters, the line has 13"},
      {"non-hex digits", [&](BadInput&) { return Write("digits.hex", ":04000000GG0203040F\r\n"); },
       "line 1: wrong checksum"},
      {"200 MB, bad first line",
       [&](BadInput&) {
         const std::string path = Write("big.hex", ":0400000001020304F3\n");
         EXPECT_EQ(truncate(path.c_str(), 200L * 1000 * 1000), 0);  // sparse
         return path;
       },
       "line 1: wrong checksum"},
      {"line ends alone",
       [&](BadInput&) { return Write("blank.hex", std::string(9u * 1024u * 1024u, '\n')); },
       "too many for a HEX file"},
      {"beyond the size limit",
       [&](BadInput&) {
         const std::string path = Write("huge.hex", "");
         EXPECT_EQ(truncate(path.c_str(), 300L * 1024 * 1024), 0);
         return path;
       },
       "too large for a HEX file"},
      {"absent", [&](BadInput&) { return dir_.File("missing.hex"); }, "No such file"},
      {"a directory",
       [&](BadInput&) {
         fs::create_directory(dir_.File("folder.hex"));
         return dir_.File("folder.hex");
       },
       "is a directory"},
      {"a FIFO",
       [&](BadInput&) {
         EXPECT_EQ(mkfifo(dir_.File("pipe.hex").c_str(), 0644), 0);
         return dir_.File("pipe.hex");
       },
       "is not a regular file"},
      {"no permission",
       [&](BadInput&) {
         const std::string path = Write("secret.hex", goodHex_);
         fs::permissions(path, fs::perms::none);
         return path;
       },
       "Permission denied", true},
  };
  for (const FileCase& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.unprivileged && geteuid() == 0 && !HaveSetpriv()) continue;  // root reads anything
    const Outcome o = Cli({"-f", c.make(*this), "-c", "1", "-b", "7", "-a"}, c.unprivileged);
    EXPECT_EQ(o.exitCode, kExitFailure) << o.err;
    EXPECT_NE(o.err.find("Error: HEX File Error\n  "), std::string::npos) << o.err;
    EXPECT_NE(o.err.find(c.reason), std::string::npos) << o.err;
    EXPECT_NE(o.out.find("HEX File Error: nothing sent to the target\n"), std::string::npos)
        << o.out;
    EXPECT_NE(o.out.find("Summary: file failed, connect skipped, erase skipped, program skipped, "
                         "verify skipped, run skipped"),
              std::string::npos)
        << o.out;
  }
  ExpectNothingSent();
}

TEST_F(BadInput, PathWithSpacesIsOneArgument) {
  fs::create_directory(dir_.File("my firmware"));
  const std::string path = dir_.File("my firmware") + "/app v2.hex";
  std::ofstream(path) << goodHex_;
  const Outcome o = Cli({"-f", path});
  EXPECT_EQ(o.exitCode, 0) << o.err;
  EXPECT_NE(o.out.find("File: " + path + "\n"), std::string::npos) << o.out;
  const Outcome glued = Cli({"-f" + path});
  EXPECT_EQ(glued.exitCode, 0) << glued.err;
  ExpectNothingSent();
}

TEST_F(BadInput, CommandLineMistakesAreUsageErrors) {
  const std::string hex = Write("app.hex", goodHex_);
  const std::vector<std::vector<std::string>> mistakes = {
      {"-x"},
      {"-Z", "-f", hex},
      {"-f", hex, "-c", "1", "-b"},  // missing value
      {"-f"},                        // missing file
      {"-f", hex, "--port"},         // missing device
      {"-f", hex, "-c", "0", "-b", "7", "-a"},
      {"-f", hex, "-c", "257", "-b", "7", "-a"},
      {"-f", hex, "-c", "1234567890", "-b", "7", "-a"},
      {"-f", hex, "--port", "COM0", "-b", "7", "-a"},
      {"-f", hex, "--port", "COM300", "-b", "7", "-a"},
      {"-f", hex, "-c", "1", "-b", "8", "-a"},
      {"-f", hex, "-c", "1", "-b", "-1", "-a"},
      {"-f", hex, "-c", "1", "--baud", "0", "-a"},
      {"-f", hex, "-c", "one", "-b", "7", "-a"},
  };
  for (const auto& args : mistakes) {
    SCOPED_TRACE(testing::PrintToString(args));
    const Outcome o = Cli(args);
    EXPECT_EQ(o.exitCode, kExitUsage);
    EXPECT_EQ(o.err.rfind("vestrel-cli: ", 0), 0u) << o.err;
    EXPECT_NE(o.err.find("Usage: vestrel-cli"), std::string::npos) << o.err;
    EXPECT_EQ(o.out, "");
  }
  ExpectNothingSent();
}

struct PortCase {
  std::string name;
  std::function<std::vector<std::string>(BadInput&)> portArgs;
  std::string message;
  bool unprivileged = false;
};

TEST_F(BadInput, PortsThatCannotServeAreNamedAndNeverWritten) {
  const std::string hex = Write("app.hex", goodHex_);
  const std::string plain = Write("plain-file", "");
  ASSERT_EQ(mkfifo(dir_.File("fifo").c_str(), 0666), 0);
  ports_.Link(2, plain);
  ports_.Link(3, dir_.File("fifo"));
  std::unique_ptr<platform::SerialDevice> holder;

  const std::vector<PortCase> cases = {
      {"absent",
       [](BadInput&) {
         return std::vector<std::string>{"-c", "4"};
       },
       "COM4 (" + ports_.Entry(4).string() + ") does not exist"},
      {"absent device",
       [&](BadInput&) {
         return std::vector<std::string>{"--port", dir_.File("ttyNONE")};
       },
       "does not exist"},
      {"a regular file as comN",
       [](BadInput&) {
         return std::vector<std::string>{"-c", "2"};
       },
       "COM2 (" + ports_.Entry(2).string() + ") is not a serial device."},
      {"a FIFO as comN",
       [](BadInput&) {
         return std::vector<std::string>{"-c", "3"};
       },
       "COM3 (" + ports_.Entry(3).string() + ") is not a serial device."},
      {"a regular file as device",
       [&](BadInput&) {
         return std::vector<std::string>{"--port", plain};
       },
       plain + " is not a serial device."},
      {"a FIFO as device",
       [&](BadInput&) {
         return std::vector<std::string>{"--port", dir_.File("fifo")};
       },
       dir_.File("fifo") + " is not a serial device."},
      {"busy",
       [&](BadInput&) {
         platform::OpenResult held = platform::OpenSerialDevice(*device_);
         EXPECT_EQ(held.status, platform::OpenStatus::Opened);
         holder = std::move(held.device);
         return std::vector<std::string>{"--port", *device_};
       },
       "is held by another program."},
      {"permission denied",
       [&](BadInput&) {
         holder.reset();
         return std::vector<std::string>{"--port", *device_};
       },
       "Permission denied on " + *device_, true},
  };
  for (const PortCase& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.unprivileged && (geteuid() != 0 || !HaveSetpriv())) continue;  // needs a foreign device
    std::vector<std::string> args = {"-f", hex, "-b", "7", "-a"};
    const auto port = c.portArgs(*this);
    args.insert(args.end(), port.begin(), port.end());
    const Outcome o = Cli(args, c.unprivileged);
    EXPECT_EQ(o.exitCode, kExitFailure) << o.err;
    EXPECT_NE(o.err.find(c.message), std::string::npos) << o.err;
    EXPECT_NE(o.err.find("Unable to Open COMM Port"), std::string::npos) << o.err;
  }
  holder.reset();
  EXPECT_EQ(fs::file_size(plain), 0u) << "a frame was written into a file";
  ExpectNothingSent();
}

}  // namespace
}  // namespace vestrel::test
