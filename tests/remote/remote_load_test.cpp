// Loads over remote ports with the built vestrel-cli: against the simulator's own port server,
// and through Debian's ser2net in front of the simulator. Every connection goes to 127.0.0.1.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/cli/run_program.h"
#include "tests/reliability/child_process.h"
#include "tests/remote/ser2net_process.h"
#include "tests/support/hex_text.h"
#include "tests/support/port_dir.h"
#include "tests/support/sim_process.h"

namespace vestrel::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kFlashSize = 0x4000;

// A loopback listener that takes connections into its queue and never answers them.
class SilentListener {
 public:
  SilentListener() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(fd_, reinterpret_cast<sockaddr*>(&address), length);
    ::listen(fd_, 4);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
  }
  ~SilentListener() { ::close(fd_); }
  std::uint16_t port() const { return port_; }

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

class RemoteLoad : public testing::Test {
 protected:
  void SetUp() override {
    const Bytes app = Pattern(3000, 5);
    HexText hex;
    hex.Data(0x1D000000, app).End();
    hexFile = dir.Write("app.hex", hex.Text());
    expected = Bytes(kFlashSize, 0xFF);
    std::copy(app.begin(), app.end(), expected.begin());
  }

  // Starts a simulator with its flash going to `name`.bin; returns its first line (its
  // pseudo-terminal, or its URL with --listen).
  std::string StartSim(SimProcess& sim, const std::string& name, std::vector<std::string> args) {
    args.insert(args.end(),
                {"--flash-size", std::to_string(kFlashSize), "--erase-ms", "50", "--flash-out",
                 dir.File(name + ".bin"), "--log", dir.File(name + ".jsonl"), "--quiet"});
    const std::optional<std::string> line = sim.Start(args);
    EXPECT_TRUE(line) << name;
    return line.value_or("");
  }

  Bytes FlashAfterExit(SimProcess& sim, const std::string& name) {
    EXPECT_EQ(sim.Terminate(), 0) << name;
    return ReadBytes(dir.File(name + ".bin"));
  }

  std::string SimLog(const std::string& name) { return ReadText(dir.File(name + ".jsonl")); }

  RunResult Cli(std::vector<std::string> args) {
    args.insert(args.end(), {"--progress", "never"});
    return test::Run(VESTREL_CLI, args, dir);
  }

  TempDir dir;
  testing_support::PortDir ports;
  std::string hexFile;
  Bytes expected;
};

TEST_F(RemoteLoad, TheSimulatorsPortServerTakesALoadAndLogsTheLineItWasGiven) {
  SimProcess sim;
  const std::string url = StartSim(sim, "sim", {"--listen", "rfc2217://127.0.0.1:0"});
  ASSERT_EQ(url.rfind("rfc2217://127.0.0.1:", 0), 0u) << url;
  const RunResult r = Cli({"-f", hexFile, "--port", url, "--baud", "921600", "-a"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_TRUE(Contains(r.out, url + " is open\n")) << r.out;
  EXPECT_EQ(FlashAfterExit(sim, "sim"), expected);
  const std::string log = SimLog("sim");
  EXPECT_TRUE(Contains(log, R"("event":"line","t":)")) << log;
  EXPECT_TRUE(Contains(log, R"("baud":921600,"data_bits":8,"parity":"none","stop_bits":1,)"
                            R"("flow":"none")"))
      << log;
  // The link holds both modem lines off, at the open and again when it closes.
  EXPECT_EQ(Count(log, R"("line":"dtr","on":false)"), 2u) << log;
  EXPECT_EQ(Count(log, R"("line":"rts","on":false)"), 2u) << log;
  EXPECT_TRUE(Contains(log, R"("event":"purge","what":"both")")) << log;
}

// The port server hands DTR and RTS to the simulated board's reset wiring: a board that enters
// its bootloader only by a reset loads with --reset over rfc2217:// and not without it.
TEST_F(RemoteLoad, AResetThroughThePortServerPutsTheBoardIntoItsBootloader) {
  for (const bool reset : {true, false}) {
    SCOPED_TRACE(reset ? "--reset dtr-pulse" : "no reset");
    SimProcess sim;
    const std::string url =
        StartSim(sim, "sim", {"--listen", "rfc2217://127.0.0.1:0", "--reset-line", "dtr"});
    std::vector<std::string> args = {"-f", hexFile, "--port", url, "--baud", "115200", "-e", "-p"};
    if (reset) args.insert(args.end(), {"--reset", "dtr-pulse"});
    const RunResult r = Cli(args);
    EXPECT_EQ(r.exitCode, reset ? 0 : 1) << r.out << r.err;
    EXPECT_EQ(FlashAfterExit(sim, "sim") == expected, reset);
    EXPECT_EQ(Contains(SimLog("sim"), R"("runs":"bootloader")"), reset) << SimLog("sim");
  }
}

TEST_F(RemoteLoad, ARawTcpPortInThePortDirectoryIsLoadedAsComN) {
  SimProcess sim;
  const std::string url = StartSim(sim, "sim", {"--listen", "socket://127.0.0.1:0"});
  std::ofstream(ports.Entry(5)) << url << "\n";
  const RunResult listed = test::Run(VESTREL_CLI, {"--list-ports"}, dir);
  EXPECT_TRUE(Contains(
      listed.out, "COM5   " + ports.Entry(5).string() + " -> " + url + "  remote (not probed)\n"))
      << listed.out;

  const RunResult r = Cli({"-f", hexFile, "-c", "5", "--baud", "921600", "-a"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(Count(r.out, "the rate cannot be set over raw TCP"), 1u) << r.out;
  EXPECT_TRUE(Contains(r.out, "COM5 is open\n")) << r.out;
  EXPECT_EQ(FlashAfterExit(sim, "sim"), expected);
  EXPECT_EQ(ReadText(ports.Entry(5).string()), url + "\n");  // read, never written
}

// The monitor on a remote port says that the connection closed, not that an adapter was pulled.
TEST_F(RemoteLoad, TheMonitorEndsWhenThePortServerStopsAndSaysSo) {
  SimProcess sim;
  const std::string url = StartSim(sim, "sim", {"--listen", "socket://127.0.0.1:0"});
  std::thread stop([this, &sim] {
    // Once the monitor is connected, bounded: a fixed pause raced a slow start.
    for (int i = 0; i < 1000 && !Contains(SimLog("sim"), "\"event\":\"connect\""); ++i)
      std::this_thread::sleep_for(10ms);
    sim.Terminate();
  });
  const auto start = Clock::now();
  const RunResult r = Cli({"--port", url, "--monitor", "--monitor-seconds", "30"});
  stop.join();
  EXPECT_LT(Clock::now() - start, 10s);  // not the 30 s it was given
  EXPECT_EQ(r.exitCode, 1) << r.err;
  const std::string hostPort = url.substr(std::string("socket://").size());
  EXPECT_TRUE(Contains(r.err, "[The connection to " + hostPort +
                                  " closed (the port server stopped, or the network went down).]"))
      << r.err;
}

TEST_F(RemoteLoad, AnUnreachablePortFailsWithinSecondsSayingWhy) {
  SilentListener silent;  // a host that does not answer, on loopback
  const std::uint16_t closed = FreeLoopbackPort();
  struct Case {
    std::string port;
    std::string reason;
  };
  const std::vector<Case> cases = {
      {"rfc2217://127.0.0.1:" + std::to_string(closed),
       "connection to 127.0.0.1:" + std::to_string(closed) + " refused"},
      {"rfc2217://board-3.invalid:4001", "unknown host board-3.invalid"},
      {"rfc2217://127.0.0.1:" + std::to_string(silent.port()),
       "127.0.0.1:" + std::to_string(silent.port()) +
           " accepted the connection but did not complete the RFC 2217 negotiation within 3 s "
           "(timed out)"},
  };
  for (const Case& c : cases) {
    const auto start = Clock::now();
    const RunResult r = Cli({"-f", hexFile, "--port", c.port, "-b", "7", "-a"});
    EXPECT_LT(Clock::now() - start, 5s) << c.port;
    EXPECT_EQ(r.exitCode, 1) << c.port;
    EXPECT_TRUE(
        Contains(r.err, "Port Error: Unable to Open COMM Port\n  " + c.port + ": " + c.reason))
        << r.err;
    EXPECT_TRUE(Contains(r.out, "connect failed, erase skipped")) << r.out;
  }
}

class Ser2netLoad : public RemoteLoad {
 protected:
  void SetUp() override {
    RemoteLoad::SetUp();
    if (Ser2net::Binary().empty()) GTEST_FAIL() << "ser2net is not installed (make deps)";
  }
};

TEST_F(Ser2netLoad, CarriesFullLoadsAndTheRateTheLoaderSet) {
  SimProcess telnetSim, rawSim;
  std::vector<Ser2net::Port> served = {
      {StartSim(telnetSim, "telnet", {}), true, "9600n81"},
      {StartSim(rawSim, "raw", {}), false, "230400n81"},
  };
  Ser2net ser2net(dir);
  ASSERT_TRUE(ser2net.Start(served)) << ser2net.Log();

  const RunResult telnet =
      Cli({"-f", hexFile, "--port", served[0].Url(), "--baud", "230400", "-a"});
  EXPECT_EQ(telnet.exitCode, 0) << telnet.err;
  const RunResult raw = Cli({"-f", hexFile, "--port", served[1].Url(), "--baud", "230400", "-a"});
  EXPECT_EQ(raw.exitCode, 0) << raw.err;
  EXPECT_TRUE(Contains(raw.out, "the rate cannot be set over raw TCP")) << raw.out;
  ser2net.Stop();
  EXPECT_EQ(FlashAfterExit(telnetSim, "telnet"), expected);
  EXPECT_EQ(FlashAfterExit(rawSim, "raw"), expected);
  // ser2net opens the line at 9600: 230400 came through RFC 2217.
  const std::string log = SimLog("telnet");
  EXPECT_TRUE(Contains(log, R"("baud":230400,"data_bits":8,"parity":"none","stop_bits":1,)"))
      << log;
}

TEST_F(Ser2netLoad, StoppedMidLoadEndsTheLoadWithinThreeSecondsNamingTheHost) {
  SimProcess sim;
  std::vector<Ser2net::Port> served = {
      {StartSim(sim, "sim", {"--pace-baud", "115200"}), true, "115200n81"}};
  Ser2net ser2net(dir);
  ASSERT_TRUE(ser2net.Start(served)) << ser2net.Log();
  ChildProcess cli;
  ASSERT_TRUE(cli.Start(
      VESTREL_CLI,
      {"-f", hexFile, "--port", served[0].Url(), "--baud", "115200", "-a", "--progress", "never"},
      dir.File("out.txt"), dir.File("err.txt")));
  const auto limit = Clock::now() + 20s;
  while (!Contains(SimLog("sim"), R"("name":"program")") && Clock::now() < limit)
    std::this_thread::sleep_for(5ms);
  ASSERT_LT(Clock::now(), limit) << "the load never reached the program step";

  const auto stopped = Clock::now();
  ser2net.Stop();
  const std::optional<int> code = cli.WaitExit(10s);
  EXPECT_LT(Clock::now() - stopped, 3s);
  EXPECT_EQ(code, 1);
  const std::string err = ReadText(dir.File("err.txt"));
  EXPECT_TRUE(
      Contains(err, "The connection to 127.0.0.1:" + std::to_string(served[0].port) + " closed"))
      << err;
  EXPECT_TRUE(Contains(ReadText(dir.File("out.txt")), "Programm: Failed"));
}

}  // namespace
}  // namespace vestrel::test
