// A test-only stand-in for the modem lines that a pseudo-terminal lacks. Preloaded into the
// loader (LD_PRELOAD), it takes the loader's TIOCMBIS, TIOCMBIC and TIOCMSET calls on a
// pseudo-terminal and reports them to the simulator's --modem-socket (named by
// VESTREL_MODEM_SOCKET), waiting for the answer, so that the board sees DTR and RTS change before
// the loader sends its next byte. The call then succeeds as on a port with modem lines. Any other
// call, and every call while no simulator listens, goes to the system unchanged.
#include <dlfcn.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

constexpr unsigned char kDtr = 0x01;  // as the simulator's modem socket counts them
constexpr unsigned char kRts = 0x02;
constexpr int kAnswerWaitMs = 2000;

using IoctlFunction = int (*)(int, unsigned long, void*);

std::mutex gMutex;
int gSocket = -1;

bool IsPseudoTerminal(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
  return major(st.st_rdev) >= 136 && major(st.st_rdev) <= 143;
}

int Connect() {
  const char* path = std::getenv("VESTREL_MODEM_SOCKET");
  if (path == nullptr || std::strlen(path) >= sizeof(sockaddr_un::sun_path)) return -1;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, path);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool SendReport(int fd, const unsigned char report[2]) {
  if (::send(fd, report, 2, MSG_NOSIGNAL) != 2) return false;
  pollfd p{fd, POLLIN, 0};
  unsigned char answer = 0;
  return ::poll(&p, 1, kAnswerWaitMs) == 1 && ::recv(fd, &answer, 1, 0) == 1;
}

// True when the simulator has applied the report; one reconnect for a simulator started anew.
bool Report(unsigned char lines, unsigned char states) {
  const std::lock_guard lock(gMutex);
  const unsigned char report[2] = {lines, states};
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (gSocket < 0) gSocket = Connect();
    if (gSocket < 0) return false;
    if (SendReport(gSocket, report)) return true;
    ::close(gSocket);
    gSocket = -1;
  }
  return false;
}

unsigned char Lines(int bits) {
  return static_cast<unsigned char>(((bits & TIOCM_DTR) ? kDtr : 0) |
                                    ((bits & TIOCM_RTS) ? kRts : 0));
}

bool Forwarded(int fd, unsigned long request, void* argument) {
  if (request != TIOCMBIS && request != TIOCMBIC && request != TIOCMSET) return false;
  if (argument == nullptr || !IsPseudoTerminal(fd)) return false;
  const int bits = *static_cast<const int*>(argument);
  if (request == TIOCMSET) return Report(kDtr | kRts, Lines(bits));
  const unsigned char lines = Lines(bits);
  return lines == 0 || Report(lines, request == TIOCMBIS ? lines : 0);
}

}  // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept {
  va_list arguments;
  va_start(arguments, request);
  void* argument = va_arg(arguments, void*);
  va_end(arguments);
  if (Forwarded(fd, request, argument)) return 0;
  static const auto system = reinterpret_cast<IoctlFunction>(::dlsym(RTLD_NEXT, "ioctl"));
  return system(fd, request, argument);
}
