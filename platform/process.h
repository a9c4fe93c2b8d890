// Running a user's command (a lamp, a label printer) with a text on its standard input.
#pragma once

#include <string>

namespace vestrel::platform {

// Runs `command` through the system's shell, writes `input` to its standard input and waits for
// it to end. Its exit code, or -1 when it could not be started.
int RunCommandWithInput(const std::string& command, const std::string& input);

}  // namespace vestrel::platform
