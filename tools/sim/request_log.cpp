#include "tools/sim/request_log.h"

#include "app/json_text.h"

namespace vestrel::sim {

using app::JsonString;

void JsonLine::Key(std::string_view key) {
  if (!body_.empty()) body_ += ",";
  body_ += JsonString(key) + ":";
}

JsonLine& JsonLine::Add(std::string_view key, std::string_view value) {
  Key(key);
  body_ += JsonString(value);
  return *this;
}

JsonLine& JsonLine::Add(std::string_view key, double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.6f", value);
  Key(key);
  body_ += text;
  return *this;
}

JsonLine& JsonLine::Add(std::string_view key, std::uint64_t value) {
  Key(key);
  body_ += std::to_string(value);
  return *this;
}

JsonLine& JsonLine::Add(std::string_view key, bool value) {
  Key(key);
  body_ += value ? "true" : "false";
  return *this;
}

JsonLine& JsonLine::Add(std::string_view key, const std::vector<std::string>& values) {
  Key(key);
  body_ += "[";
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i > 0) body_ += ",";
    body_ += JsonString(values[i]);
  }
  body_ += "]";
  return *this;
}

JsonLine& JsonLine::AddHex(std::string_view key, std::uint32_t value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%0*X", digits, value);
  return Add(key, std::string_view(text));
}

}  // namespace vestrel::sim
