#include "tools/sim/port_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/linux_baud.h"

namespace vestrel::sim {
namespace {

namespace telnet = platform::telnet;
using telnet::ComPortCommand;
using telnet::ComPortControl;

// Bytes from the client held for a line that does not take them: past it the client is not
// read, so that it feels the line's back-pressure through TCP.
constexpr std::size_t kToLineLimit = 64 * 1024;
constexpr std::size_t kChunk = 4096;

std::uint8_t Code(ComPortCommand command) {
  return static_cast<std::uint8_t>(command);
}

std::uint8_t Value(ComPortControl control) {
  return static_cast<std::uint8_t>(control);
}

const char* ParityName(const termios& tio) {
  if (!(tio.c_cflag & PARENB)) return "none";
  const bool odd = (tio.c_cflag & PARODD) != 0;
  if (tio.c_cflag & CMSPAR) return odd ? "mark" : "space";
  return odd ? "odd" : "even";
}

std::uint64_t DataBits(const termios& tio) {
  switch (tio.c_cflag & CSIZE) {
    case CS5:
      return 5;
    case CS6:
      return 6;
    case CS7:
      return 7;
    default:
      return 8;
  }
}

ComPortControl FlowOf(const termios& tio) {
  if (tio.c_cflag & CRTSCTS) return ComPortControl::HardwareFlow;
  if (tio.c_iflag & (IXON | IXOFF)) return ComPortControl::XonXoffFlow;
  return ComPortControl::NoFlow;
}

const char* FlowName(ComPortControl flow) {
  if (flow == ComPortControl::HardwareFlow) return "rts/cts";
  if (flow == ComPortControl::XonXoffFlow) return "xon/xoff";
  return "none";
}

// The setting in `value` applied to `tio`; false for a value the command does not know.
bool Apply(ComPortCommand command, std::uint8_t value, termios& tio) {
  switch (command) {
    case ComPortCommand::SetDataSize: {
      static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
      if (value < 5 || value > 8) return false;
      tio.c_cflag = (tio.c_cflag & ~static_cast<tcflag_t>(CSIZE)) | kSizes[value - 5];
      return true;
    }
    case ComPortCommand::SetParity: {
      static constexpr tcflag_t kParity[] = {0, PARENB | PARODD, PARENB, PARENB | PARODD | CMSPAR,
                                             PARENB | CMSPAR};
      if (value < 1 || value > 5) return false;
      tio.c_cflag &= ~static_cast<tcflag_t>(PARENB | PARODD | CMSPAR);
      tio.c_cflag |= kParity[value - 1];
      return true;
    }
    case ComPortCommand::SetStopSize:
      if (value < 1 || value > 3) return false;
      tio.c_cflag &= ~static_cast<tcflag_t>(CSTOPB);
      if (value != 1) tio.c_cflag |= CSTOPB;  // a terminal has no 1.5: two is the nearest
      return true;
    case ComPortCommand::SetControl:
      if (value < Value(ComPortControl::NoFlow) || value > Value(ComPortControl::HardwareFlow))
        return false;
      tio.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
      tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF);
      if (value == Value(ComPortControl::HardwareFlow)) tio.c_cflag |= CRTSCTS;
      if (value == Value(ComPortControl::XonXoffFlow)) tio.c_iflag |= IXON | IXOFF;
      return true;
    default:
      return false;
  }
}

// The answer to a framing command: the setting now in force.
std::uint8_t InForce(ComPortCommand command, const termios& tio) {
  switch (command) {
    case ComPortCommand::SetDataSize:
      return static_cast<std::uint8_t>(DataBits(tio));
    case ComPortCommand::SetParity: {
      const std::string name = ParityName(tio);
      static constexpr const char* kNames[] = {"none", "odd", "even", "mark", "space"};
      for (std::uint8_t i = 0; i < 5; ++i)
        if (name == kNames[i]) return static_cast<std::uint8_t>(i + 1);
      return 1;
    }
    case ComPortCommand::SetStopSize:
      return (tio.c_cflag & CSTOPB) ? 2 : 1;
    default:
      return Value(FlowOf(tio));
  }
}

}  // namespace

std::optional<LineSettings> ReadLineSettings(int fd) {
  termios tio{};
  std::uint32_t baud = 0;
  if (tcgetattr(fd, &tio) != 0 || platform::linux_baud::GetRate(fd, baud) != 0) return std::nullopt;
  return LineSettings{baud, DataBits(tio), ParityName(tio), (tio.c_cflag & CSTOPB) ? 2u : 1u,
                      FlowName(FlowOf(tio))};
}

PortServer::PortServer(platform::RemotePortUrl url, int lineFd, Logger log,
                       ModemLineHandler onModemLine)
    : url_(std::move(url)),
      lineFd_(lineFd),
      log_(std::move(log)),
      onModemLine_(std::move(onModemLine)),
      comPort_(url_.protocol == platform::RemoteProtocol::Rfc2217),
      negotiator_({telnet::kBinary, telnet::kSuppressGoAhead},
                  {telnet::kBinary, telnet::kSuppressGoAhead, telnet::kComPort}) {
  fcntl(lineFd_, F_SETFL, fcntl(lineFd_, F_GETFL) | O_NONBLOCK);
}

PortServer::~PortServer() {
  Close();
}

std::optional<std::string> PortServer::Listen() {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string port = std::to_string(url_.port);
  if (const int rc = getaddrinfo(url_.host.c_str(), port.c_str(), &hints, &found); rc != 0)
    return url_.host + ": " + gai_strerror(rc);
  std::string failure = "no address for " + url_.host;
  for (addrinfo* a = found; a != nullptr && listener_ < 0; a = a->ai_next) {
    const int fd = socket(a->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int on = 1;
    if (fd >= 0) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (fd >= 0 && bind(fd, a->ai_addr, a->ai_addrlen) == 0 && listen(fd, 4) == 0) {
      listener_ = fd;
      sockaddr_storage bound{};
      socklen_t length = sizeof bound;
      getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length);
      url_.port =
          ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                            : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    } else {
      failure = "listen on " + url_.HostPort() + ": " + std::strerror(errno);
      if (fd >= 0) close(fd);
    }
  }
  freeaddrinfo(found);
  if (listener_ < 0) return failure;
  return std::nullopt;
}

std::string PortServer::Url() const {
  return url_.Text();
}

void PortServer::AddPollFds(std::vector<pollfd>& fds) const {
  fds.push_back({listener_, POLLIN, 0});
  short client = 0;
  if (toLine_.size() < kToLineLimit) client |= POLLIN;
  if (!toClient_.empty() && !clientSuspended_) client |= POLLOUT;
  fds.push_back({client_, client, 0});
  short line = POLLIN;
  if (!toLine_.empty()) line |= POLLOUT;
  fds.push_back({lineFd_, line, 0});
}

bool PortServer::Service(const std::vector<pollfd>& fds, std::size_t first) {
  const short listener = fds[first].revents;
  const short client = fds[first + 1].revents;
  const short line = fds[first + 2].revents;
  bool changed = false;
  if (client_ >= 0 && (client & (POLLIN | POLLHUP | POLLERR))) changed = ReadClient();
  if (client_ >= 0 && (client & POLLOUT)) WriteClient();
  WriteClient();  // the answers to what was read
  if (line & POLLIN) ReadLine();
  if (!toLine_.empty()) WriteLine();
  if (listener & POLLIN) Accept();
  return changed;
}

std::size_t PortServer::Unsent() const {
  int queued = 0;
  if (client_ >= 0 && ioctl(client_, SIOCOUTQ, &queued) != 0) queued = 0;
  return toClient_.size() + static_cast<std::size_t>(queued > 0 ? queued : 0);
}

void PortServer::Close() {
  if (client_ >= 0) Disconnect("closed");
  if (listener_ >= 0) close(listener_);
  listener_ = -1;
}

void PortServer::Accept() {
  sockaddr_storage peer{};
  socklen_t length = sizeof peer;
  const int fd =
      accept4(listener_, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) return;
  char host[NI_MAXHOST] = "?";
  char service[NI_MAXSERV] = "?";
  getnameinfo(reinterpret_cast<sockaddr*>(&peer), length, host, sizeof host, service,
              sizeof service, NI_NUMERICHOST | NI_NUMERICSERV);
  const std::string name = std::string(host) + ":" + service;
  if (client_ >= 0) {  // one client at a time, as on a real line
    close(fd);
    JsonLine line;
    log_(line.Add("event", "refused").Add("peer", name).Add("detail", "the line is in use"));
    return;
  }
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  client_ = fd;
  decoder_ = {};
  negotiator_ =
      platform::telnet::Negotiator({telnet::kBinary, telnet::kSuppressGoAhead},
                                   {telnet::kBinary, telnet::kSuppressGoAhead, telnet::kComPort});
  toClient_.clear();
  toLine_.clear();
  clientSuspended_ = false;
  JsonLine line;
  log_(line.Add("event", "connect").Add("peer", name));
}

void PortServer::Disconnect(const char* why) {
  close(client_);
  client_ = -1;
  toClient_.clear();
  toLine_.clear();
  JsonLine line;
  log_(line.Add("event", "disconnect").Add("detail", why));
}

bool PortServer::ReadClient() {
  std::uint8_t buffer[kChunk];
  const ssize_t n = recv(client_, buffer, sizeof buffer, MSG_DONTWAIT);
  if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
    Disconnect(n == 0 ? "closed by the client" : std::strerror(errno));
    return false;
  }
  if (n < 0) return false;
  const std::span<const std::uint8_t> bytes(buffer, static_cast<std::size_t>(n));
  if (!comPort_) {
    toLine_.insert(toLine_.end(), bytes.begin(), bytes.end());
    return false;
  }
  std::vector<telnet::Event> events;
  decoder_.Feed(bytes, toLine_, events);
  bool changed = false;
  for (const telnet::Event& event : events) {
    if (event.kind == telnet::Event::Kind::Negotiation)
      negotiator_.Handle(event.verb, event.option, toClient_);
    else if (event.kind == telnet::Event::Kind::Subnegotiation && event.option == telnet::kComPort)
      changed |= HandleComPort(event);
  }
  return changed;
}

// What a real line would do with each command, on a pseudo-terminal: framing and flow control
// go to its termios, modem lines and breaks are kept and logged, purges flush its queues.
bool PortServer::HandleComPort(const telnet::Event& event) {
  if (event.truncated || event.data.empty()) return false;
  const auto command = static_cast<ComPortCommand>(event.data[0]);
  const std::span<const std::uint8_t> value = std::span(event.data).subspan(1);
  termios tio{};
  if (tcgetattr(lineFd_, &tio) != 0) return false;
  switch (command) {
    case ComPortCommand::SetBaudRate: {
      if (value.size() != 4) return false;
      const std::uint32_t rate = std::uint32_t{value[0]} << 24 | std::uint32_t{value[1]} << 16 |
                                 std::uint32_t{value[2]} << 8 | value[3];
      if (rate != 0) platform::linux_baud::SetRate(lineFd_, rate);
      std::uint32_t inForce = 0;
      platform::linux_baud::GetRate(lineFd_, inForce);
      Answer32(Code(command), inForce);
      return rate != 0;
    }
    case ComPortCommand::SetDataSize:
    case ComPortCommand::SetParity:
    case ComPortCommand::SetStopSize:
    case ComPortCommand::SetControl: {
      if (value.size() != 1) return false;
      if (command == ComPortCommand::SetControl && value[0] > Value(ComPortControl::HardwareFlow)) {
        Answer(Code(command), Control(value[0]));
        return false;
      }
      const bool applied = value[0] != 0 && Apply(command, value[0], tio);
      if (applied) tcsetattr(lineFd_, TCSANOW, &tio);
      Answer(Code(command), InForce(command, tio));
      return applied;
    }
    case ComPortCommand::PurgeData: {
      if (value.size() != 1 || value[0] < 1 || value[0] > 3) return false;
      static constexpr const char* kWhat[] = {"receive", "transmit", "both"};
      if (value[0] & 1) tcflush(lineFd_, TCIFLUSH);  // what the line received, for the client
      if (value[0] & 2) {
        tcflush(lineFd_, TCOFLUSH);
        toLine_.clear();
      }
      JsonLine line;
      log_(line.Add("event", "purge").Add("what", kWhat[value[0] - 1]));
      Answer(Code(command), value[0]);
      return false;
    }
    case ComPortCommand::FlowControlSuspend:
    case ComPortCommand::FlowControlResume:
      clientSuspended_ = command == ComPortCommand::FlowControlSuspend;
      return false;
    case ComPortCommand::SetLineStateMask:
    case ComPortCommand::SetModemStateMask:
      if (value.size() == 1) Answer(Code(command), value[0]);
      return false;
    default:
      return false;
  }
}

// Modem lines and breaks: the state after the command, logged as given.
std::uint8_t PortServer::Control(std::uint8_t value) {
  JsonLine line;
  switch (static_cast<ComPortControl>(value)) {
    case ComPortControl::BreakOn:
    case ComPortControl::BreakOff:
      break_ = value == Value(ComPortControl::BreakOn);
      log_(line.Add("event", "control").Add("break", break_));
      return value;
    case ComPortControl::DtrOn:
    case ComPortControl::DtrOff:
    case ComPortControl::RtsOn:
    case ComPortControl::RtsOff: {
      const bool on =
          value == Value(ComPortControl::DtrOn) || value == Value(ComPortControl::RtsOn);
      const bool dtr = value <= Value(ComPortControl::DtrOff);
      (dtr ? dtr_ : rts_) = on;
      onModemLine_(dtr ? Line::Dtr : Line::Rts, on);
      return value;
    }
    default:
      break;
  }
  // The questions: 4 break, 7 DTR, 10 RTS; any other value is answered as it came.
  if (value == 4) return Value(break_ ? ComPortControl::BreakOn : ComPortControl::BreakOff);
  if (value == 7) return Value(dtr_ ? ComPortControl::DtrOn : ComPortControl::DtrOff);
  if (value == 10) return Value(rts_ ? ComPortControl::RtsOn : ComPortControl::RtsOff);
  return value;
}

void PortServer::Answer(std::uint8_t command, std::uint8_t value) {
  telnet::AppendComPort(toClient_, static_cast<std::uint8_t>(command + telnet::kReply), value);
}

void PortServer::Answer32(std::uint8_t command, std::uint32_t value) {
  telnet::AppendComPort32(toClient_, static_cast<std::uint8_t>(command + telnet::kReply), value);
}

// What the line received goes to the client; with no client it is lost, as on a real line.
void PortServer::ReadLine() {
  std::uint8_t buffer[kChunk];
  const ssize_t n = read(lineFd_, buffer, sizeof buffer);
  if (n <= 0 || client_ < 0) return;
  const std::span<const std::uint8_t> bytes(buffer, static_cast<std::size_t>(n));
  if (comPort_)
    telnet::AppendData(toClient_, bytes);
  else
    toClient_.insert(toClient_.end(), bytes.begin(), bytes.end());
  WriteClient();
}

void PortServer::WriteLine() {
  const ssize_t n = write(lineFd_, toLine_.data(), toLine_.size());
  if (n > 0) toLine_.erase(toLine_.begin(), toLine_.begin() + n);
}

void PortServer::WriteClient() {
  if (client_ < 0 || toClient_.empty() || clientSuspended_) return;
  const ssize_t n = send(client_, toClient_.data(), toClient_.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  if (n > 0) toClient_.erase(toClient_.begin(), toClient_.begin() + n);
}

}  // namespace vestrel::sim
