#include <unistd.h>

#include "platform/console.h"

namespace vestrel::platform {

bool IsAnsiTerminal(StandardStream stream) {
  return ::isatty(stream == StandardStream::Output ? STDOUT_FILENO : STDERR_FILENO) == 1;
}

}  // namespace vestrel::platform
