#include <cstdio>

#include "platform/process.h"

namespace vestrel::platform {

int RunCommandWithInput(const std::string& command, const std::string& input) {
  FILE* pipe = ::_popen(command.c_str(), "wb");
  if (pipe == nullptr) return -1;
  std::fwrite(input.data(), 1, input.size(), pipe);
  return ::_pclose(pipe);
}

}  // namespace vestrel::platform
