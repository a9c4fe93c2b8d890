// Helpers for tests and benchmarks that make their own Intel HEX files.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace vestrel::test {

using Bytes = std::vector<std::uint8_t>;

// One record ":LLAAAATT<data>CC" with a correct checksum, upper-case digits.
inline std::string HexRecord(std::uint8_t type, std::uint16_t offset, const Bytes& data) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string line = ":";
  unsigned sum = 0;
  auto put = [&](std::uint8_t b) {
    line += kDigits[b >> 4];
    line += kDigits[b & 0xF];
    sum += b;
  };
  put(static_cast<std::uint8_t>(data.size()));
  put(static_cast<std::uint8_t>(offset >> 8));
  put(static_cast<std::uint8_t>(offset & 0xFF));
  put(type);
  for (std::uint8_t b : data) put(b);
  put(static_cast<std::uint8_t>(-sum & 0xFFu));
  return line;
}

inline std::string UpperRecord(std::uint16_t upper) {
  return HexRecord(0x04, 0,
                   {static_cast<std::uint8_t>(upper >> 8), static_cast<std::uint8_t>(upper)});
}

inline std::string EndRecord() {
  return ":00000001FF";
}

// Builds a HEX text record by record; Data() emits a type-04 record when the upper address
// changes and splits the bytes into records that never cross a 64 KiB boundary.
class HexText {
 public:
  HexText& Line(std::string line) {
    lines_.push_back(std::move(line));
    return *this;
  }

  HexText& Upper(std::uint16_t upper) {
    upper_ = upper;
    return Line(UpperRecord(upper));
  }

  HexText& Data(std::uint32_t address, const Bytes& data, std::size_t perRecord = 16) {
    std::size_t done = 0;
    while (done < data.size()) {
      const std::uint32_t at = address + static_cast<std::uint32_t>(done);
      const auto upper = static_cast<std::uint16_t>(at >> 16);
      if (upper != upper_) Upper(upper);
      const std::size_t toBoundary = 0x10000 - (at & 0xFFFF);
      const std::size_t n = std::min({perRecord, data.size() - done, toBoundary});
      Line(HexRecord(0x00, static_cast<std::uint16_t>(at & 0xFFFF),
                     Bytes(data.begin() + static_cast<std::ptrdiff_t>(done),
                           data.begin() + static_cast<std::ptrdiff_t>(done + n))));
      done += n;
    }
    return *this;
  }

  HexText& End() { return Line(EndRecord()); }

  std::string Text(std::string_view lineEnd = "\r\n") const {
    std::string text;
    for (const std::string& line : lines_) {
      text += line;
      text += lineEnd;
    }
    return text;
  }

  const std::vector<std::string>& Lines() const { return lines_; }

 private:
  std::vector<std::string> lines_;
  int upper_ = -1;
};

// Bytes that change from one address to the next, so that a misplaced byte shows.
inline Bytes Pattern(std::size_t size, std::uint8_t seed = 0) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<std::uint8_t>((i * 7 + (i >> 8) * 13 + seed) & 0xFF);
  }
  return bytes;
}

// A fresh directory under the system's temp directory, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
      path_ = base / ("vestrel-test-" + std::to_string(random()));
      std::error_code ec;
      if (std::filesystem::create_directory(path_, ec)) return;  // false: it existed already
    }
    std::abort();
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  std::string File(std::string_view name) const { return (path_ / name).string(); }
  const std::filesystem::path& Path() const { return path_; }

  std::string Write(std::string_view name, std::string_view content) const {
    const std::string path = File(name);
    std::ofstream out(path, std::ios::binary);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    return path;
  }

 private:
  std::filesystem::path path_;
};

inline bool Contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

// How often `what` occurs in `text`, overlaps included.
inline std::size_t Count(std::string_view text, std::string_view what) {
  std::size_t n = 0;
  for (auto at = text.find(what); at != std::string_view::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

inline Bytes ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace vestrel::test
