#include "tools/sim/request_log.h"

#include <cstdio>
#include <nlohmann/json.hpp>

namespace vestrel::sim {

JsonLine::JsonLine()
    : body_(std::make_unique<nlohmann::ordered_json>(nlohmann::ordered_json::object())) {}
JsonLine::~JsonLine() = default;
JsonLine::JsonLine(JsonLine&&) noexcept = default;
JsonLine& JsonLine::operator=(JsonLine&&) noexcept = default;

JsonLine& JsonLine::Add(std::string_view key, std::string_view value) {
  (*body_)[std::string(key)] = std::string(value);
  return *this;
}

JsonLine& JsonLine::Add(std::string_view key, double value) {
  (*body_)[std::string(key)] = value;
  return *this;
}

JsonLine& JsonLine::Add(std::string_view key, std::uint64_t value) {
  (*body_)[std::string(key)] = value;
  return *this;
}

JsonLine& JsonLine::Add(std::string_view key, bool value) {
  (*body_)[std::string(key)] = value;
  return *this;
}

JsonLine& JsonLine::Add(std::string_view key, const std::vector<std::string>& values) {
  (*body_)[std::string(key)] = values;
  return *this;
}

JsonLine& JsonLine::AddHex(std::string_view key, std::uint32_t value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%0*X", digits, value);
  return Add(key, std::string_view(text));
}

std::string JsonLine::str() const {
  // Bytes that are not UTF-8 (a device path in another encoding) must not make the line invalid.
  return body_->dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

}  // namespace vestrel::sim
