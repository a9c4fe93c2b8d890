// TCP connections on POSIX sockets: non-blocking descriptors, every wait a poll() with the
// caller's deadline.
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <system_error>
#include <vector>

#include "platform/net_socket.h"

#ifdef __linux__
#include <linux/sockios.h>
#endif

namespace vestrel::platform::net {
namespace {

NetResult FromErrno(int error) {
  NetStatus status = NetStatus::Failed;
  if (error == ECONNREFUSED) status = NetStatus::Refused;
  if (error == ECONNRESET || error == EPIPE || error == ENOTCONN) status = NetStatus::Closed;
  if (error == ETIMEDOUT) status = NetStatus::TimedOut;
  return {status, 0, error, std::system_category().message(error)};
}

int PollTimeoutMs(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<int>(std::clamp<decltype(left)>(left, 0, INT_MAX));
}

NetResult Wait(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    pollfd p{fd, events, 0};
    const int r = ::poll(&p, 1, PollTimeoutMs(deadline));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return FromErrno(errno);
    if (r == 0) return {NetStatus::TimedOut, 0, 0, {}};
    return {};  // readable, writable, or an error or hang-up that the next call reports
  }
}

// A server that holds back small writes until the last one is acknowledged (Nagle's rule; ser2net
// without tcp(nodelay)) would otherwise wait for the delayed acknowledgement, 40 ms on Linux,
// in the middle of every reply. Linux turns quick acknowledgements off again by itself.
void AcknowledgeAtOnce(int fd) {
#ifdef TCP_QUICKACK
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
#else
  (void)fd;
#endif
}

struct Addresses {
  int error = 0;  // the getaddrinfo code
  std::vector<std::pair<sockaddr_storage, socklen_t>> list;
};

Addresses Resolve(const std::string& host, std::uint16_t port, int flags) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = flags | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  Addresses result;
  result.error = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
  for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
    sockaddr_storage address{};
    std::memcpy(&address, a->ai_addr, std::min<std::size_t>(a->ai_addrlen, sizeof address));
    result.list.emplace_back(address, a->ai_addrlen);
  }
  if (found != nullptr) ::freeaddrinfo(found);
  return result;
}

// Numeric addresses at once; names on a thread of their own, since a resolver that does not
// answer would otherwise hold the caller for as long as it likes.
std::optional<Addresses> ResolveBefore(const std::string& host, std::uint16_t port,
                                       Clock::time_point deadline) {
  Addresses numeric = Resolve(host, port, AI_NUMERICHOST);
  if (numeric.error == 0) return numeric;
  return CallBefore<Addresses>(deadline, [host, port] { return Resolve(host, port, 0); });
}

NetResult ResolveFailure(int code) {
#ifdef EAI_NODATA
  if (code == EAI_NODATA) code = EAI_NONAME;
#endif
  if (code == EAI_NONAME || code == EAI_FAIL)
    return {NetStatus::UnknownHost, 0, code, ::gai_strerror(code)};
  if (code == EAI_SYSTEM) return FromErrno(errno);
  return {NetStatus::Failed, 0, code, ::gai_strerror(code)};
}

NetResult ConnectOne(const sockaddr_storage& address, socklen_t length, Clock::time_point deadline,
                     int& fd) {
  fd = ::socket(address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) return FromErrno(errno);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0 &&
      errno != EINPROGRESS) {
    return FromErrno(errno);
  }
  if (NetResult w = Wait(fd, POLLOUT, deadline); !w.ok()) return w;
  int error = 0;
  socklen_t size = sizeof error;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) return FromErrno(errno);
  if (error != 0) return FromErrno(error);
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return {};
}

}  // namespace

NetResult TcpConnection::Connect(const std::string& host, std::uint16_t port,
                                 Clock::time_point deadline,
                                 std::unique_ptr<TcpConnection>& connection) {
  const std::optional<Addresses> addresses = ResolveBefore(host, port, deadline);
  if (!addresses) return {NetStatus::TimedOut, 0, ETIMEDOUT, "name resolution timed out"};
  if (addresses->error != 0) return ResolveFailure(addresses->error);
  NetResult last{NetStatus::UnknownHost, 0, 0, "no address"};
  for (const auto& [address, length] : addresses->list) {
    int fd = -1;
    last = ConnectOne(address, length, deadline, fd);
    if (last.ok()) {
      connection.reset(new TcpConnection(static_cast<std::uintptr_t>(fd)));
      return last;
    }
    if (fd >= 0) ::close(fd);
    if (last.status == NetStatus::TimedOut) break;
  }
  return last;
}

TcpConnection::~TcpConnection() {
  ::close(static_cast<int>(handle_));
}

NetResult TcpConnection::Send(std::span<const std::uint8_t> bytes) {
  for (;;) {
    const ssize_t n =
        ::send(static_cast<int>(handle_), bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) return {NetStatus::Ok, static_cast<std::size_t>(n), 0, {}};
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return {};
    return FromErrno(errno);
  }
}

NetResult TcpConnection::Receive(std::span<std::uint8_t> buffer) {
  for (;;) {
    const ssize_t n = ::recv(static_cast<int>(handle_), buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (n > 0) {
      AcknowledgeAtOnce(static_cast<int>(handle_));
      return {NetStatus::Ok, static_cast<std::size_t>(n), 0, {}};
    }
    if (n == 0) return {NetStatus::Closed, 0, 0, "closed by the peer"};
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return {};
    return FromErrno(errno);
  }
}

NetResult TcpConnection::WaitReadable(Clock::time_point deadline) {
  return Wait(static_cast<int>(handle_), POLLIN, deadline);
}

NetResult TcpConnection::WaitWritable(Clock::time_point deadline) {
  return Wait(static_cast<int>(handle_), POLLOUT, deadline);
}

std::optional<std::size_t> TcpConnection::Unacknowledged() const {
#if defined(__linux__) && defined(SIOCOUTQ)
  int queued = 0;
  if (::ioctl(static_cast<int>(handle_), SIOCOUTQ, &queued) != 0 || queued < 0) return std::nullopt;
  return static_cast<std::size_t>(queued);
#else
  return std::nullopt;
#endif
}

bool TcpConnection::PeerClosed() const {
#ifdef POLLRDHUP
  pollfd p{static_cast<int>(handle_), POLLRDHUP, 0};
  return ::poll(&p, 1, 0) == 1 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
#else
  return false;
#endif
}

}  // namespace vestrel::platform::net
