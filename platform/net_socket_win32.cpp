// TCP connections on Winsock: non-blocking sockets, every wait a select() with the caller's
// deadline (WSAPoll misses failed connects on older systems).
// <winsock2.h> before <windows.h>; WIN32_LEAN_AND_MEAN keeps the old <winsock.h> out of it.
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include "platform/net_socket.h"
#include "platform/win32_support.h"
// clang-format on

#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

namespace vestrel::platform::net {
namespace {

NetResult FromError(int error) {
  NetStatus status = NetStatus::Failed;
  if (error == WSAECONNREFUSED) status = NetStatus::Refused;
  if (error == WSAECONNRESET || error == WSAECONNABORTED || error == WSAENOTCONN ||
      error == WSAESHUTDOWN)
    status = NetStatus::Closed;
  if (error == WSAETIMEDOUT) status = NetStatus::TimedOut;
  return {status, 0, error, win32::ErrorText(static_cast<DWORD>(error))};
}

NetResult LastError() {
  return FromError(::WSAGetLastError());
}

// Winsock is started once per process and left running until the process ends.
bool StartWinsock() {
  static std::once_flag once;
  static bool started = false;
  std::call_once(once, [] {
    WSADATA data{};
    started = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  });
  return started;
}

timeval TimeLeft(Clock::time_point deadline) {
  const auto left =
      std::max(std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()),
               std::chrono::microseconds(0));
  timeval tv{};
  tv.tv_sec = static_cast<long>(left.count() / 1'000'000);
  tv.tv_usec = static_cast<long>(left.count() % 1'000'000);
  return tv;
}

// Ok when the socket is ready (an error shows in the next call), TimedOut at the deadline.
NetResult Wait(SOCKET s, bool write, Clock::time_point deadline) {
  fd_set ready;
  fd_set failed;
  FD_ZERO(&ready);
  FD_ZERO(&failed);
  FD_SET(s, &ready);
  FD_SET(s, &failed);
  timeval tv = TimeLeft(deadline);
  const int r = ::select(0, write ? nullptr : &ready, write ? &ready : nullptr, &failed, &tv);
  if (r == SOCKET_ERROR) return LastError();
  if (r == 0) return {NetStatus::TimedOut, 0, 0, {}};
  return {};
}

struct Addresses {
  int error = 0;  // the getaddrinfo code
  std::vector<std::pair<sockaddr_storage, int>> list;
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
    result.list.emplace_back(address, static_cast<int>(a->ai_addrlen));
  }
  if (found != nullptr) ::freeaddrinfo(found);
  return result;
}

std::optional<Addresses> ResolveBefore(const std::string& host, std::uint16_t port,
                                       Clock::time_point deadline) {
  Addresses numeric = Resolve(host, port, AI_NUMERICHOST);
  if (numeric.error == 0) return numeric;
  return CallBefore<Addresses>(deadline, [host, port] { return Resolve(host, port, 0); });
}

NetResult ConnectOne(const sockaddr_storage& address, int length, Clock::time_point deadline,
                     SOCKET& s) {
  s = ::socket(address.ss_family, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return LastError();
  u_long nonBlocking = 1;
  if (::ioctlsocket(s, static_cast<long>(FIONBIO), &nonBlocking) != 0) return LastError();
  if (::connect(s, reinterpret_cast<const sockaddr*>(&address), length) != 0 &&
      ::WSAGetLastError() != WSAEWOULDBLOCK) {
    return LastError();
  }
  if (NetResult w = Wait(s, true, deadline); !w.ok()) return w;
  int error = 0;
  int size = sizeof error;
  if (::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size) != 0)
    return LastError();
  if (error != 0) return FromError(error);
  const BOOL on = TRUE;
  ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
  return {};
}

}  // namespace

NetResult TcpConnection::Connect(const std::string& host, std::uint16_t port,
                                 Clock::time_point deadline,
                                 std::unique_ptr<TcpConnection>& connection) {
  if (!StartWinsock()) return {NetStatus::Failed, 0, 0, "Winsock did not start"};
  const std::optional<Addresses> addresses = ResolveBefore(host, port, deadline);
  if (!addresses) return {NetStatus::TimedOut, 0, WSAETIMEDOUT, "name resolution timed out"};
  if (addresses->error == WSAHOST_NOT_FOUND || addresses->error == WSANO_DATA)
    return {NetStatus::UnknownHost, 0, addresses->error,
            win32::ErrorText(static_cast<DWORD>(addresses->error))};
  if (addresses->error != 0) return FromError(addresses->error);
  NetResult last{NetStatus::UnknownHost, 0, 0, "no address"};
  for (const auto& [address, length] : addresses->list) {
    SOCKET s = INVALID_SOCKET;
    last = ConnectOne(address, length, deadline, s);
    if (last.ok()) {
      connection.reset(new TcpConnection(static_cast<std::uintptr_t>(s)));
      return last;
    }
    if (s != INVALID_SOCKET) ::closesocket(s);
    if (last.status == NetStatus::TimedOut) break;
  }
  return last;
}

TcpConnection::~TcpConnection() {
  ::closesocket(static_cast<SOCKET>(handle_));
}

NetResult TcpConnection::Send(std::span<const std::uint8_t> bytes) {
  const int size = static_cast<int>(std::min<std::size_t>(bytes.size(), 1 << 30));
  const int n =
      ::send(static_cast<SOCKET>(handle_), reinterpret_cast<const char*>(bytes.data()), size, 0);
  if (n >= 0) return {NetStatus::Ok, static_cast<std::size_t>(n), 0, {}};
  if (::WSAGetLastError() == WSAEWOULDBLOCK) return {};
  return LastError();
}

NetResult TcpConnection::Receive(std::span<std::uint8_t> buffer) {
  const int size = static_cast<int>(std::min<std::size_t>(buffer.size(), 1 << 30));
  const int n =
      ::recv(static_cast<SOCKET>(handle_), reinterpret_cast<char*>(buffer.data()), size, 0);
  if (n > 0) return {NetStatus::Ok, static_cast<std::size_t>(n), 0, {}};
  if (n == 0) return {NetStatus::Closed, 0, 0, "closed by the peer"};
  if (::WSAGetLastError() == WSAEWOULDBLOCK) return {};
  return LastError();
}

NetResult TcpConnection::WaitReadable(Clock::time_point deadline) {
  return Wait(static_cast<SOCKET>(handle_), false, deadline);
}

NetResult TcpConnection::WaitWritable(Clock::time_point deadline) {
  return Wait(static_cast<SOCKET>(handle_), true, deadline);
}

std::optional<std::size_t> TcpConnection::Unacknowledged() const {
  return std::nullopt;  // Winsock does not tell
}

bool TcpConnection::PeerClosed() const {
  return false;  // the next send or receive tells
}

}  // namespace vestrel::platform::net
