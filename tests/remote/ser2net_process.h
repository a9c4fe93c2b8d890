// Debian's ser2net as a child process on free loopback ports, in front of simulators: the test
// writes its configuration, starts it, and stops it (or it is killed when the test ends).
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/hex_text.h"

extern char** environ;

namespace vestrel::test {

// A loopback port that nothing listens on right now.
inline std::uint16_t FreeLoopbackPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), length);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

// True once something listens on 127.0.0.1:port (from the kernel's table, without connecting:
// a connection would make ser2net open the line).
inline bool ListensOnLoopback(std::uint16_t port) {
  char wanted[16];
  std::snprintf(wanted, sizeof wanted, "0100007F:%04X", port);
  std::ifstream table("/proc/net/tcp");
  std::string line;
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    fields >> slot >> local >> remote >> state;
    if (local == wanted && state == "0A") return true;  // TCP_LISTEN
  }
  return false;
}

class Ser2net {
 public:
  struct Port {
    std::string device;      // the simulator's pseudo-terminal
    bool rfc2217 = true;     // else raw TCP
    std::string settings;    // the line ser2net opens it with, e.g. "9600n81"
    std::uint16_t port = 0;  // filled by Start

    std::string Url() const {
      return (rfc2217 ? "rfc2217://127.0.0.1:" : "socket://127.0.0.1:") + std::to_string(port);
    }
  };

  explicit Ser2net(const TempDir& dir) : dir_(dir) {}
  ~Ser2net() { Kill(); }
  Ser2net(const Ser2net&) = delete;
  Ser2net& operator=(const Ser2net&) = delete;

  static std::string Binary() {
    for (const char* path : {"/usr/sbin/ser2net", "/usr/bin/ser2net"})
      if (::access(path, X_OK) == 0) return path;
    return {};
  }

  // Serves `ports` on free loopback ports; false if ser2net did not come up within 5 s.
  bool Start(std::vector<Port>& ports) {
    for (Port& p : ports) p.port = FreeLoopbackPort();
    std::ofstream config(dir_.File("ser2net.yaml"));
    config << "%YAML 1.1\n---\n";
    for (std::size_t i = 0; i < ports.size(); ++i) {
      const Port& p = ports[i];
      config << "connection: &board" << i << "\n    accepter: "
             << (p.rfc2217 ? "telnet(rfc2217),tcp,127.0.0.1," : "tcp,127.0.0.1,") << p.port
             << "\n    connector: serialdev," << p.device << "," << p.settings << ",local\n";
    }
    config.close();
    const std::string binary = Binary();
    std::vector<std::string> args = {
        binary, "-n", "-u", "-c", dir_.File("ser2net.yaml"), "-P", dir_.File("ser2net.pid")};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, dir_.File("ser2net.log").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    const int rc = posix_spawn(&pid_, binary.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
      pid_ = -1;
      return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (const Port& p : ports) {
      while (!ListensOnLoopback(p.port)) {
        if (std::chrono::steady_clock::now() > deadline || Exited()) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    }
    return true;
  }

  // SIGTERM, and the wait for it to end.
  void Stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

  std::string Log() const {
    std::ifstream in(dir_.File("ser2net.log"));
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

 private:
  bool Exited() {
    if (::waitpid(pid_, nullptr, WNOHANG) != pid_) return false;
    pid_ = -1;
    return true;
  }

  void Kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

  const TempDir& dir_;
  pid_t pid_ = -1;
};

}  // namespace vestrel::test
