// What tells a file's versions apart cheaply: its size and last write time.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace vestrel::app {

struct FileStamp {
  std::uintmax_t size = 0;
  std::filesystem::file_time_type written{};

  bool operator==(const FileStamp&) const = default;
};

// nullopt when the file cannot be looked at (gone, no permission).
inline std::optional<FileStamp> StampOf(const std::string& path) {
  std::error_code ec;
  const std::uintmax_t size = std::filesystem::file_size(path, ec);
  if (ec) return std::nullopt;
  const auto written = std::filesystem::last_write_time(path, ec);
  if (ec) return std::nullopt;
  return FileStamp{size, written};
}

}  // namespace vestrel::app
