// One JSON object per line, for the simulator's --log file.
#pragma once

#include <cstdint>
#include <memory>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace vestrel::sim {

// Builds one JSON object with fields in insertion order.
class JsonLine {
 public:
  JsonLine();
  ~JsonLine();
  JsonLine(JsonLine&&) noexcept;
  JsonLine& operator=(JsonLine&&) noexcept;

  JsonLine& Add(std::string_view key, std::string_view value);
  JsonLine& Add(std::string_view key, const char* value) {
    return Add(key, std::string_view(value));
  }
  JsonLine& Add(std::string_view key, double value);
  JsonLine& Add(std::string_view key, std::uint64_t value);
  JsonLine& Add(std::string_view key, bool value);
  JsonLine& Add(std::string_view key, const std::vector<std::string>& values);
  // Hexadecimal text such as "0x9D000000", easier to read than a decimal address.
  JsonLine& AddHex(std::string_view key, std::uint32_t value, int digits);

  std::string str() const;

 private:
  // The JSON library stays out of the header: the simulator's other files need not compile it.
  std::unique_ptr<nlohmann::ordered_json> body_;
};

}  // namespace vestrel::sim
