#include <unistd.h>

#include <csignal>

#include "platform/console.h"

namespace vestrel::platform {

bool IsAnsiTerminal(StandardStream stream) {
  return ::isatty(stream == StandardStream::Output ? STDOUT_FILENO : STDERR_FILENO) == 1;
}

void IgnoreBrokenPipe() {
  std::signal(SIGPIPE, SIG_IGN);
}

}  // namespace vestrel::platform
