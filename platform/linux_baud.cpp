#include "platform/linux_baud.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <cerrno>

// <sys/ioctl.h> drags in the C library's termios definitions, which clash with the kernel's.
extern "C" int ioctl(int fd, unsigned long request, ...);

namespace vestrel::platform::linux_baud {

int SetRate(int fd, std::uint32_t rate) {
  termios2 tio{};
  if (ioctl(fd, TCGETS2, &tio) != 0) return errno;
  tio.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
  tio.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  tio.c_ispeed = rate;
  tio.c_ospeed = rate;
  if (ioctl(fd, TCSETS2, &tio) != 0) return errno;
  return 0;
}

int GetRate(int fd, std::uint32_t& rate) {
  termios2 tio{};
  if (ioctl(fd, TCGETS2, &tio) != 0) return errno;
  rate = tio.c_ospeed;
  return 0;
}

}  // namespace vestrel::platform::linux_baud
