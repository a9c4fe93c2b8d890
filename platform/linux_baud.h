// Any baud rate the driver accepts, through the termios2 interface of Linux. Kept apart from
// serial_posix.cpp because the kernel's termios2 header clashes with <termios.h>.
#pragma once

#include <cstdint>

namespace vestrel::platform::linux_baud {

// Sets input and output speed to `rate` (BOTHER); 0 on success, else the errno value.
int SetRate(int fd, std::uint32_t rate);

// The output speed in force as a number; 0 on success, else the errno value.
int GetRate(int fd, std::uint32_t& rate);

}  // namespace vestrel::platform::linux_baud
