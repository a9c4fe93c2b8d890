// Whether a standard stream is an interactive terminal that shows the ANSI escape sequences of
// a progress bar and of colours. On Windows the console is switched to processing them; a
// console that cannot do that counts as no terminal, so the output stays plain lines.
#pragma once

namespace vestrel::platform {

enum class StandardStream { Output, Error };

bool IsAnsiTerminal(StandardStream stream);

}  // namespace vestrel::platform
