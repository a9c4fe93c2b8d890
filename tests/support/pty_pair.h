// A pseudo-terminal whose master side plays the device at the far end of the line (the
// bootloader), while the code under test opens the slave by its path.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace vestrel::testing_support {

class PtyPair {
 public:
  PtyPair() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) return;
    char name[128] = {};
    if (::ptsname_r(master_, name, sizeof name) != 0) return;
    slavePath_ = name;
    // Held open like a bootloader simulator holds it, and raw so that nothing echoes.
    slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0) return;
    termios tio{};
    ::tcgetattr(slave_, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(slave_, TCSANOW, &tio);
  }

  ~PtyPair() {
    if (slave_ >= 0) ::close(slave_);
    CloseMaster();
  }

  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  bool ok() const { return master_ >= 0 && slave_ >= 0; }
  const std::string& SlavePath() const { return slavePath_; }
  int master() const { return master_; }
  int slave() const { return slave_; }

  // Writes everything to the line, waiting (bounded) while the line is full.
  bool Send(std::span<const std::uint8_t> bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
        continue;
      }
      if (!WaitFor(master_, POLLOUT, std::chrono::seconds(2))) return false;
    }
    return true;
  }

  // Collects what the code under test wrote until the line has been quiet for `quiet`.
  std::vector<std::uint8_t> Received(std::chrono::milliseconds quiet) {
    std::vector<std::uint8_t> bytes;
    std::uint8_t chunk[512];
    while (WaitFor(master_, POLLIN, quiet)) {
      const ssize_t n = ::read(master_, chunk, sizeof chunk);
      if (n <= 0) break;
      bytes.insert(bytes.end(), chunk, chunk + n);
    }
    return bytes;
  }

  // Waits, within `limit`, until the code under test holds the slave open exclusively (as the
  // project's devices do) and has read everything sent to it, so that a test can pull the line
  // without racing the open on a busy machine.
  bool WaitUntilOpenedAndRead(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      int exclusive = 0;
      int unread = -1;
      if (::ioctl(slave_, TIOCGEXCL, &exclusive) == 0 && exclusive != 0 &&
          ::ioctl(slave_, FIONREAD, &unread) == 0 && unread == 0)
        return true;
      if (std::chrono::steady_clock::now() >= deadline) return false;
      ::poll(nullptr, 0, 5);
    }
  }

  // What a pulled USB adapter does to the line: the slave side is hung up.
  void CloseMaster() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
  }

  static bool WaitFor(int fd, short events, std::chrono::milliseconds limit) {
    pollfd p{fd, events, 0};
    return ::poll(&p, 1, static_cast<int>(limit.count())) > 0 && (p.revents & events);
  }

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string slavePath_;
};

}  // namespace vestrel::testing_support
