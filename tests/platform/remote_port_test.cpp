// Remote ports on loopback connections: names and URL files, the reasons a connect fails, and
// the device against a peer that the test plays byte by byte. Traffic goes to 127.0.0.1 only.
#include "platform/remote_port.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <vector>

#include "platform/remote_serial_device.h"
#include "platform/rfc2217.h"
#include "tests/support/hex_text.h"

namespace vestrel::platform {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;
namespace telnet = platform::telnet;

// A loopback listener whose connections the test drives by hand.
class Peer {
 public:
  Peer() {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    EXPECT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&address), length), 0);
    EXPECT_EQ(::listen(listener_, 4), 0);
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
  }
  ~Peer() {
    if (client_ >= 0) ::close(client_);
    ::close(listener_);
  }

  std::string Url(const char* scheme = "rfc2217") const {
    return std::string(scheme) + "://127.0.0.1:" + std::to_string(port_);
  }
  RemotePortUrl Parsed(const char* scheme = "rfc2217") const {
    return *ParseRemotePortUrl(Url(scheme));
  }

  bool Accept() {
    pollfd p{listener_, POLLIN, 0};
    if (::poll(&p, 1, 2000) != 1) return false;
    client_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    return client_ >= 0;
  }
  void Send(const Bytes& bytes) {
    ASSERT_EQ(::send(client_, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
  }
  // Reads until `count` bytes have come (or two seconds have passed).
  Bytes Receive(std::size_t count) {
    Bytes got;
    const auto deadline = Clock::now() + 2s;
    while (got.size() < count && Clock::now() < deadline) {
      pollfd p{client_, POLLIN, 0};
      if (::poll(&p, 1, 100) != 1) continue;
      std::uint8_t buffer[256];
      const ssize_t n = ::recv(client_, buffer, std::min(sizeof buffer, count - got.size()), 0);
      if (n <= 0) break;
      got.insert(got.end(), buffer, buffer + n);
    }
    return got;
  }
  void CloseClient() {
    ::close(client_);
    client_ = -1;
  }

  // Completes the client's RFC 2217 start as a port server at 9600 baud.
  void AgreeComPort() {
    ASSERT_TRUE(Accept());
    EXPECT_EQ(Receive(15), telnet::ClientSession().Greeting());
    Bytes answer{telnet::kIac, telnet::kDo, telnet::kComPort};
    Send(answer);
    Receive(3 * 7 + 10);  // the four questions: data size, parity, stop size, then the rate
    answer.clear();
    telnet::AppendComPort32(answer, 101, 9600);
    Send(answer);
  }

 private:
  int listener_ = -1;
  int client_ = -1;
  std::uint16_t port_ = 0;
};

COMMTIMEOUTS LoaderTimeouts() {
  return {MAXDWORD, MAXDWORD, 100, 0, 1000};
}

TEST(RemotePortUrl, NamesTheTwoSchemesWithHostAndPort) {
  struct Case {
    const char* text;
    std::optional<RemotePortUrl> url;
  };
  const std::vector<Case> cases = {
      {"rfc2217://127.0.0.1:4001", RemotePortUrl{RemoteProtocol::Rfc2217, "127.0.0.1", 4001}},
      {"RFC2217://farm-1.lab:65535", RemotePortUrl{RemoteProtocol::Rfc2217, "farm-1.lab", 65535}},
      {"socket://[::1]:3000", RemotePortUrl{RemoteProtocol::RawTcp, "::1", 3000}},
      {"socket://host:0", std::nullopt},
      {"socket://host:65536", std::nullopt},
      {"rfc2217://host", std::nullopt},
      {"rfc2217://:4001", std::nullopt},
      {"rfc2217://host:4001/x", std::nullopt},
      {"rfc2217://a b:1", std::nullopt},
      {"rfc2217://[::1:1", std::nullopt},
      {"telnet://host:23", std::nullopt},
      {"/dev/ttyUSB0", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ParseRemotePortUrl(c.text), c.url) << c.text;
    if (c.url) {
      EXPECT_EQ(ParseRemotePortUrl(c.url->Text()), c.url) << c.text;
    }
  }
  EXPECT_EQ(ParseRemotePortUrl("rfc2217://127.0.0.1:0", true)->port, 0);
  EXPECT_EQ(RemotePortUrl({RemoteProtocol::RawTcp, "::1", 3000}).Text(), "socket://[::1]:3000");
  EXPECT_TRUE(NamesRemotePort("Socket://nonsense"));
  EXPECT_FALSE(NamesRemotePort("COM3"));
}

TEST(RemotePortOf, ReadsASmallUrlFileAndLeavesEverythingElse) {
  test::TempDir dir;
  const std::string url = dir.Write("com1", "  rfc2217://127.0.0.1:4001 \r\n# farm rack 2\n");
  const std::string text = dir.Write("com2", "/dev/ttyUSB0\n");
  const std::string large =
      dir.Write("com3", "socket://127.0.0.1:1\n" + std::string(1000, '#') + "\n");
  const std::string fifo = dir.File("com4");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);  // opening it would block: it is never opened

  EXPECT_EQ(RemotePortOf(url), ParseRemotePortUrl("rfc2217://127.0.0.1:4001"));
  for (const std::string& other :
       {text, large, fifo, dir.Path().string(), std::string("/dev/null")})
    EXPECT_FALSE(RemotePortOf(other)) << other;
  EXPECT_EQ(RemotePortOf("socket://10.1.2.3:99")->host, "10.1.2.3");  // a name is not a file
}

TEST(OpenRemotePort, EachUnreachablePortSaysWhy) {
  // A port that nothing listens on: the listener of a peer that is gone.
  std::string closedUrl;
  { closedUrl = Peer().Url(); }
  Peer silent;  // accepts, but never answers the negotiation
  Peer refusing;
  Peer closing;
  auto refuse = std::async(std::launch::async, [&refusing] {
    ASSERT_TRUE(refusing.Accept());
    refusing.Receive(15);
    refusing.Send({telnet::kIac, telnet::kDont, telnet::kComPort});
  });
  auto close = std::async(std::launch::async, [&closing] {
    ASSERT_TRUE(closing.Accept());
    closing.CloseClient();
  });
  struct Case {
    std::string url;
    OpenStatus status;
    std::string text;
  };
  const std::vector<Case> cases = {
      {closedUrl, OpenStatus::Failed, "connection to 127.0.0.1:"},
      {"rfc2217://board-7.invalid:4001", OpenStatus::Failed, "unknown host board-7.invalid"},
      {silent.Url(), OpenStatus::Failed, "did not complete the RFC 2217 negotiation within 1 s"},
      {refusing.Url(), OpenStatus::Failed, "does not offer RFC 2217"},
      {closing.Url(), OpenStatus::Failed, "closed the connection during the RFC 2217 negotiation"},
  };
  for (const Case& c : cases) {
    const auto start = Clock::now();
    const OpenResult r = OpenRemotePort(*ParseRemotePortUrl(c.url), 1s);
    EXPECT_LT(Clock::now() - start, 1500ms) << c.url;
    EXPECT_EQ(r.status, c.status) << c.url;
    EXPECT_NE(r.text.find(c.text), std::string::npos) << c.url << ": " << r.text;
    EXPECT_FALSE(r.device);
  }
  EXPECT_NE(OpenRemotePort(*ParseRemotePortUrl(closedUrl)).text.find("refused"), std::string::npos);
}

TEST(RemoteSerialDevice, KeepsTheReadRulesAndPassesEveryByteThroughTheTelnetLayer) {
  Peer peer;
  auto opening = std::async(std::launch::async, [&peer] { return OpenRemotePort(peer.Parsed()); });
  peer.AgreeComPort();
  OpenResult opened = opening.get();
  ASSERT_EQ(opened.status, OpenStatus::Opened) << opened.text;
  SerialDevice& device = *opened.device;
  DCB found{};
  ASSERT_TRUE(device.GetCommState(found).ok());
  EXPECT_EQ(found.BaudRate, 9600u);  // as the server reported it
  ASSERT_TRUE(device.SetCommTimeouts(LoaderTimeouts()).ok());
  EXPECT_TRUE(device.SetsLineRate());

  std::uint8_t buffer[8];
  peer.Send({'a', telnet::kIac});  // a doubled 0xFF cut in two by the reads
  EXPECT_EQ(device.Read(buffer).count, 1u);
  EXPECT_EQ(buffer[0], 'a');
  const auto start = Clock::now();
  EXPECT_EQ(device.Read(buffer).count, 0u);  // half a 0xFF is no byte yet: the 100 ms pass
  EXPECT_GE(Clock::now() - start, 100ms);
  peer.Send({telnet::kIac, 'b'});
  SerialResult r = device.Read(buffer);
  ASSERT_EQ(r.count, 2u);
  EXPECT_EQ(Bytes(buffer, buffer + 2), (Bytes{telnet::kIac, 'b'}));

  const Bytes data{1, telnet::kIac, 2};
  EXPECT_EQ(device.Write(data).count, 3u);
  EXPECT_EQ(peer.Receive(4), (Bytes{1, telnet::kIac, telnet::kIac, 2}));
  ASSERT_TRUE(device.SetDtr(true).ok());
  EXPECT_EQ(peer.Receive(7),
            (Bytes{telnet::kIac, telnet::kSb, telnet::kComPort, 5, 8, telnet::kIac, telnet::kSe}));

  peer.CloseClient();
  r = device.Read(buffer);
  EXPECT_EQ(r.status, SerialStatus::Gone);
  EXPECT_EQ(device.GoneReason(),
            "The connection to " + peer.Parsed().HostPort() +
                " closed (the port server stopped, or the network went down).");
}

// The device over one end of a socket pair: no port server, no listening socket.
TEST(RemoteSerialDevice, RawTcpSetsNoRateAndHasNoModemLinesAndKeepsTheReadRules) {
  int ends[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
  OpenResult opened = OpenRemoteSerialDevice(
      *ParseRemotePortUrl("socket://board:1"),
      net::TcpConnection::Adopt(static_cast<std::uintptr_t>(ends[0])), Clock::now() + 1s, 1s);
  ASSERT_EQ(opened.status, OpenStatus::Opened) << opened.text;
  SerialDevice& device = *opened.device;
  DCB dcb{};
  dcb.BaudRate = 115200;
  dcb.ByteSize = 8;
  EXPECT_TRUE(device.SetCommState(dcb).ok());
  EXPECT_FALSE(device.SetsLineRate());
  EXPECT_EQ(device.SetRts(false).status, SerialStatus::Unsupported);
  ASSERT_TRUE(device.SetCommTimeouts(LoaderTimeouts()).ok());
  const Bytes data{0, telnet::kIac, 0x55};
  EXPECT_EQ(device.Write(data).count, 3u);
  Bytes sent(3);
  ASSERT_EQ(::read(ends[1], sent.data(), sent.size()), 3);
  EXPECT_EQ(sent, data);               // as they are
  EXPECT_TRUE(device.Drain(1s).ok());  // all taken by the far end
  std::uint8_t buffer[4];
  const auto start = Clock::now();
  EXPECT_EQ(device.Read(buffer).count, 0u);  // nothing within the 100 ms
  EXPECT_GE(Clock::now() - start, 100ms);
  const std::uint8_t reply[] = {telnet::kIac, telnet::kIac};
  ASSERT_EQ(::write(ends[1], reply, sizeof reply), 2);
  EXPECT_EQ(device.Read(buffer).count, 2u);
  ::close(ends[1]);
  EXPECT_EQ(device.Read(buffer).status, SerialStatus::Gone);
}

}  // namespace
}  // namespace vestrel::platform
