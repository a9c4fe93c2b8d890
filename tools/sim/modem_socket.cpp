#include "tools/sim/modem_socket.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace vestrel::sim {
namespace {

// A handful of loaders one after another; more at once would be a misuse.
constexpr std::size_t kMaxClients = 8;

}  // namespace

std::unique_ptr<ModemSocket> ModemSocket::Listen(const std::string& path, std::string& error) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) {
    error = "--modem-socket " + path + ": the path is too long for a socket";
    return nullptr;
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    error = std::string("socket: ") + std::strerror(errno);
    return nullptr;
  }
  ::unlink(path.c_str());
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd, static_cast<int>(kMaxClients)) != 0) {
    error = "--modem-socket " + path + ": " + std::strerror(errno);
    ::close(fd);
    return nullptr;
  }
  return std::unique_ptr<ModemSocket>(new ModemSocket(fd, path));
}

ModemSocket::~ModemSocket() {
  for (int fd : clients_) ::close(fd);
  ::close(listener_);
  ::unlink(path_.c_str());
}

void ModemSocket::AddPollFds(std::vector<pollfd>& fds) const {
  fds.push_back({listener_, POLLIN, 0});
  for (int fd : clients_) fds.push_back({fd, POLLIN, 0});
}

void ModemSocket::Handle(const std::vector<pollfd>& fds,
                         const std::function<void(Line, bool)>& onChange) {
  for (const pollfd& p : fds) {
    if (p.revents == 0) continue;
    if (p.fd == listener_) {
      const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) continue;
      if (clients_.size() < kMaxClients) {
        // A report comes whole at once; a peer that sends half of one must not stall the line.
        const timeval limit{1, 0};
        ::setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        clients_.push_back(client);
      } else {
        ::close(client);
      }
    } else if (std::find(clients_.begin(), clients_.end(), p.fd) != clients_.end()) {
      Serve(p.fd, onChange);
    }
  }
}

// One report per read: the shim waits for the answer before it sends the next.
void ModemSocket::Serve(int fd, const std::function<void(Line, bool)>& onChange) {
  unsigned char report[2];
  const ssize_t n = ::recv(fd, report, sizeof report, MSG_WAITALL);
  if (n != static_cast<ssize_t>(sizeof report)) {
    ::close(fd);
    std::erase(clients_, fd);
    return;
  }
  if (report[0] & kReportDtr) onChange(Line::Dtr, (report[1] & kReportDtr) != 0);
  if (report[0] & kReportRts) onChange(Line::Rts, (report[1] & kReportRts) != 0);
  const unsigned char done = 1;
  if (::send(fd, &done, 1, MSG_NOSIGNAL) != 1) {
    ::close(fd);
    std::erase(clients_, fd);
  }
}

}  // namespace vestrel::sim
