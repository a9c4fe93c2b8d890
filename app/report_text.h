// Text for the files that other programs read (reports, logs): always valid UTF-8, whatever bytes
// a port name or a file name brought along.
#pragma once

#include <string>
#include <string_view>

namespace vestrel::app {

// `text` with every byte sequence that is not well-formed UTF-8 (a Latin-1 name, a cut-off
// sequence, an overlong form, a surrogate) replaced by U+FFFD.
std::string ValidUtf8(std::string_view text);

// Valid UTF-8 for XML 1.0 character data and attribute values: markup escaped, and the control
// characters XML has no place for (even escaped) replaced by '?'.
std::string XmlText(std::string_view text);

}  // namespace vestrel::app
