#include <sys/wait.h>

#include <cstdio>

#include "platform/process.h"

namespace vestrel::platform {

int RunCommandWithInput(const std::string& command, const std::string& input) {
  FILE* pipe = ::popen(command.c_str(), "w");
  if (pipe == nullptr) return -1;
  std::fwrite(input.data(), 1, input.size(), pipe);  // a command that reads nothing is fine
  const int status = ::pclose(pipe);
  if (status == -1) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace vestrel::platform
