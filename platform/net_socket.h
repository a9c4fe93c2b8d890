// A TCP connection for the remote ports: POSIX sockets in net_socket_posix.cpp, Winsock in
// net_socket_win32.cpp; the build picks one. Every call returns at once or by a deadline, so a
// port server that stops answering never holds up its caller for longer than it asked.
//
// Threading: one thread may send while another receives; the waits may run on both at once.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <utility>

namespace vestrel::platform::net {

using Clock = std::chrono::steady_clock;

enum class NetStatus {
  Ok,
  TimedOut,     // the deadline passed
  Closed,       // the peer closed the connection (or reset it)
  Refused,      // nothing listens at the address
  UnknownHost,  // the name does not resolve
  Failed,       // any other failure; `error` and `text` say which
};

struct NetResult {
  NetStatus status = NetStatus::Ok;
  std::size_t count = 0;  // bytes sent or received
  int error = 0;          // the system's error number
  std::string text;       // the system's text for it

  bool ok() const { return status == NetStatus::Ok; }
};

class TcpConnection {
 public:
  // Resolves `host` (a name, or an IPv4 or IPv6 address) and connects to its addresses in turn,
  // all before `deadline`. Small writes go out at once (no Nagle delay).
  static NetResult Connect(const std::string& host, std::uint16_t port, Clock::time_point deadline,
                           std::unique_ptr<TcpConnection>& connection);

  // Takes over a stream socket that is connected already (a socket pair in tests); it is
  // closed with the connection. Non-blocking use is the connection's own business.
  static std::unique_ptr<TcpConnection> Adopt(std::uintptr_t socket) {
    return std::unique_ptr<TcpConnection>(new TcpConnection(socket));
  }

  ~TcpConnection();
  TcpConnection(const TcpConnection&) = delete;
  TcpConnection& operator=(const TcpConnection&) = delete;

  // Hands over what the system takes now; `count` may be 0 when its buffer is full.
  NetResult Send(std::span<const std::uint8_t> bytes);
  // Takes what has arrived; `count` may be 0. Closed once the peer has ended the stream.
  NetResult Receive(std::span<std::uint8_t> buffer);
  // Ok once the connection can be read (data, or its end) or written; TimedOut at `deadline`.
  NetResult WaitReadable(Clock::time_point deadline);
  NetResult WaitWritable(Clock::time_point deadline);
  // Bytes sent that the peer has not acknowledged yet, where the system tells (Linux).
  std::optional<std::size_t> Unacknowledged() const;
  // True once the peer has closed or reset the connection, where the system tells without a
  // read (Linux); elsewhere the next send or receive says so.
  bool PeerClosed() const;

 private:
  explicit TcpConnection(std::uintptr_t handle) : handle_(handle) {}
  std::uintptr_t handle_;
};

// Runs `work` on a thread of its own and waits for it until `deadline`: name resolution has
// no time limit of its own. After the deadline the thread is left to end by itself and its
// result is dropped.
template <typename Result>
std::optional<Result> CallBefore(Clock::time_point deadline, std::function<Result()> work) {
  struct Shared {
    std::mutex mutex;
    std::condition_variable done;
    std::optional<Result> result;
  };
  auto shared = std::make_shared<Shared>();
  std::thread([shared, work = std::move(work)] {
    Result result = work();
    std::lock_guard lock(shared->mutex);
    shared->result = std::move(result);
    shared->done.notify_all();
  }).detach();
  std::unique_lock lock(shared->mutex);
  shared->done.wait_until(lock, deadline, [&shared] { return shared->result.has_value(); });
  return std::move(shared->result);
}

}  // namespace vestrel::platform::net
