#include "app/window_settings.h"

#include <charconv>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace vestrel::app {
namespace {

// The file is a few lines; anything larger is not ours.
constexpr std::uintmax_t kMaxSize = 64 * 1024;
constexpr int kBaudEntries = 8;

std::optional<int> BaudIndex(const std::string& text) {
  int value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  if (value < 0 || value >= kBaudEntries) return std::nullopt;
  return value;
}

// A value that would break its line cannot be written back.
bool OneLine(const std::string& value) {
  return value.find_first_of("\r\n") == std::string::npos;
}

}  // namespace

WindowSettings ReadWindowSettings(const std::string& path) {
  WindowSettings settings;
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec) ||
      std::filesystem::file_size(path, ec) > kMaxSize)
    return settings;
  std::ifstream in(path, std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    const std::string key = line.substr(0, equals);
    const std::string value = line.substr(equals + 1);
    if (key == "file") settings.file = value;
    if (key == "port") settings.port = value;
    if (key == "baud") settings.baudIndex = BaudIndex(value);
  }
  return settings;
}

bool WriteWindowSettings(const std::string& path, const WindowSettings& settings) {
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
  std::ostringstream text;
  if (!settings.file.empty() && OneLine(settings.file)) text << "file=" << settings.file << '\n';
  if (!settings.port.empty() && OneLine(settings.port)) text << "port=" << settings.port << '\n';
  if (settings.baudIndex) text << "baud=" << *settings.baudIndex << '\n';
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text.str();
  out.close();
  return static_cast<bool>(out);
}

}  // namespace vestrel::app
