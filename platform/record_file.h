// Small files that hold one fixed-layout record at their start (the port component's settings
// file). Each access opens the file exclusively for its own moment, so a second program that
// holds the file makes the access fail, and only a regular file is used: a FIFO or a device
// under the file's name would block or swallow the record. Relative names are resolved against
// the current directory at each access.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace vestrel::platform {

// Reads up to bytes.size() bytes from the start of an existing file into `bytes` and gives the
// count (a short file fills only the leading bytes); nullopt when the file cannot be opened.
std::optional<std::size_t> ReadRecordFile(const std::string& name, std::span<std::uint8_t> bytes);

// Writes `bytes` at the start of the file, creating it if it does not exist; a longer file keeps
// the bytes past the record. False when the file cannot be opened or not all was written.
bool WriteRecordFile(const std::string& name, std::span<const std::uint8_t> bytes);

}  // namespace vestrel::platform
