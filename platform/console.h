// Whether a standard stream is an interactive terminal that shows the ANSI escape sequences of
// a progress bar and of colours. On Windows the console is switched to processing them; a
// console that cannot do that counts as no terminal, so the output stays plain lines.
#pragma once

namespace vestrel::platform {

enum class StandardStream { Output, Error };

bool IsAnsiTerminal(StandardStream stream);

// A closed output pipe (`vestrel-cli ... | head`) must not end the program in the middle of a
// load: writes to it fail instead of raising SIGPIPE. Windows has no such signal.
void IgnoreBrokenPipe();

}  // namespace vestrel::platform
