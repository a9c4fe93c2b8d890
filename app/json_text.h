// JSON text for the reports and logs the programs write.
#pragma once

#include <string>
#include <string_view>

namespace vestrel::app {

// `text` as a JSON string: quoted, with quotes, backslashes and control characters escaped.
std::string JsonString(std::string_view text);

}  // namespace vestrel::app
