#include "image/board_data.h"

#include <algorithm>
#include <charconv>

namespace vestrel::image {
namespace {

constexpr std::uint64_t kWindowSize = 0x1000000;  // the program flash window, 16 MiB
constexpr std::size_t kBytesPerRecord = 16;

// The digits of `value` in `base`, zero-padded to `width`; nullopt when they need more.
std::optional<std::string> Digits(std::uint64_t value, int base, std::size_t width) {
  char text[32];
  const auto [end, ec] = std::to_chars(text, text + sizeof text, value, base);
  std::string digits(text, end);
  if (ec != std::errc{} || digits.size() > width) return std::nullopt;
  std::transform(digits.begin(), digits.end(), digits.begin(), [](char c) {
    return c >= 'a' && c <= 'f' ? static_cast<char>(c - 'a' + 'A') : c;
  });
  return std::string(width - digits.size(), '0') + digits;
}

std::vector<std::uint8_t> LittleEndian(std::uint64_t value, std::size_t width) {
  std::vector<std::uint8_t> bytes(width);
  for (std::size_t i = 0; i < width; ++i) bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
  return bytes;
}

// 10^digits - 1, or the largest 64-bit number when that is smaller.
std::uint64_t LargestOfDigits(std::uint64_t base, std::size_t digits) {
  std::uint64_t largest = 1;
  for (std::size_t i = 0; i < digits; ++i) {
    if (largest > UINT64_MAX / base) return UINT64_MAX;
    largest *= base;
  }
  return largest - 1;
}

}  // namespace

std::optional<DataFormat> ParseDataFormat(std::string_view text) {
  if (text == "u32le") return DataFormat{DataEncoding::U32Le, 4};
  if (text == "u32be") return DataFormat{DataEncoding::U32Be, 4};
  if (text == "u64le") return DataFormat{DataEncoding::U64Le, 8};
  const auto colon = text.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  const std::string_view name = text.substr(0, colon);
  const std::string_view count = text.substr(colon + 1);
  std::size_t width = 0;
  const auto [end, ec] = std::from_chars(count.data(), count.data() + count.size(), width);
  if (ec != std::errc{} || end != count.data() + count.size() || width == 0 ||
      width > kLongestDataText)
    return std::nullopt;
  if (name == "ascii") return DataFormat{DataEncoding::Ascii, width};
  if (name == "hex") return DataFormat{DataEncoding::Hex, width};
  if (name == "bcd") return DataFormat{DataEncoding::Bcd, width};
  return std::nullopt;
}

std::string DataFormatName(const DataFormat& format) {
  switch (format.encoding) {
    case DataEncoding::U32Le:
      return "u32le";
    case DataEncoding::U32Be:
      return "u32be";
    case DataEncoding::U64Le:
      return "u64le";
    case DataEncoding::Ascii:
      return "ascii:" + std::to_string(format.width);
    case DataEncoding::Hex:
      return "hex:" + std::to_string(format.width);
    case DataEncoding::Bcd:
      return "bcd:" + std::to_string(format.width);
  }
  return {};
}

std::uint64_t LargestValue(const DataFormat& format) {
  switch (format.encoding) {
    case DataEncoding::U32Le:
    case DataEncoding::U32Be:
      return UINT32_MAX;
    case DataEncoding::U64Le:
      return UINT64_MAX;
    case DataEncoding::Ascii:
      return LargestOfDigits(10, format.width);
    case DataEncoding::Hex:
      return LargestOfDigits(16, format.width);
    case DataEncoding::Bcd:
      return LargestOfDigits(10, 2 * format.width);
  }
  return 0;
}

std::optional<std::vector<std::uint8_t>> EncodeValue(const DataFormat& format,
                                                     std::uint64_t value) {
  if (value > LargestValue(format)) return std::nullopt;
  switch (format.encoding) {
    case DataEncoding::U32Le:
    case DataEncoding::U64Le:
      return LittleEndian(value, format.width);
    case DataEncoding::U32Be: {
      std::vector<std::uint8_t> bytes = LittleEndian(value, 4);
      std::reverse(bytes.begin(), bytes.end());
      return bytes;
    }
    case DataEncoding::Ascii:
    case DataEncoding::Hex: {
      const std::string text =
          *Digits(value, format.encoding == DataEncoding::Ascii ? 10 : 16, format.width);
      return std::vector<std::uint8_t>(text.begin(), text.end());
    }
    case DataEncoding::Bcd: {
      const std::string digits = *Digits(value, 10, 2 * format.width);
      std::vector<std::uint8_t> bytes(format.width);
      for (std::size_t i = 0; i < format.width; ++i)
        bytes[i] =
            static_cast<std::uint8_t>((digits[2 * i] - '0') << 4 | (digits[2 * i + 1] - '0'));
      return bytes;
    }
  }
  return std::nullopt;
}

std::optional<std::uint32_t> ProgramFlashAddress(std::uint64_t address) {
  for (const std::uint64_t base :
       {std::uint64_t{kFlashBase}, std::uint64_t{kFlashVirtualBase}, std::uint64_t{0xBD000000}}) {
    if (address >= base && address < base + kWindowSize)
      return static_cast<std::uint32_t>(kFlashBase + (address - base));
  }
  return std::nullopt;
}

std::vector<std::string> DataRecords(std::uint32_t address, std::span<const std::uint8_t> bytes) {
  std::vector<std::string> records;
  std::uint32_t upper = 0;
  for (std::size_t done = 0; done < bytes.size();) {
    const auto at = static_cast<std::uint32_t>(address + done);
    if (records.empty() || at >> 16 != upper) {
      upper = at >> 16;
      const std::uint8_t high[] = {static_cast<std::uint8_t>(upper >> 8),
                                   static_cast<std::uint8_t>(upper)};
      records.push_back(HexRecord(0x04, 0, high));
    }
    // A record never crosses into the next 64 KiB: its offset would wrap.
    const std::size_t n =
        std::min({kBytesPerRecord, bytes.size() - done, std::size_t{0x10000 - (at & 0xFFFF)}});
    records.push_back(
        HexRecord(0x00, static_cast<std::uint16_t>(at & 0xFFFF), bytes.subspan(done, n)));
    done += n;
  }
  return records;
}

std::vector<std::string> MergeRecords(const std::vector<std::string>& lines,
                                      const std::vector<std::string>& records) {
  std::vector<std::string> merged;
  merged.reserve(lines.size() + records.size());
  merged.insert(merged.end(), lines.begin(), lines.end());
  merged.insert(merged.end(), records.begin(), records.end());
  return merged;
}

bool HoldsDataWithin(const std::vector<std::string>& lines, std::uint32_t first,
                     std::uint32_t length) {
  const std::uint64_t end = std::uint64_t{first} + length;
  bool holds = false;
  ForEachDataRecord(lines, [&](std::uint64_t address, std::uint32_t count) {
    if (count != 0 && address < end && address + count > first) holds = true;
  });
  return holds;
}

bool UsedImage(const std::vector<std::string>& lines, const std::string& fileName,
               std::vector<std::uint8_t>& bytes, HexError* error) {
  ProgramMemory memory;
  memory.HexLines = lines;
  memory.HexFileName = fileName;
  memory.ImageSize = static_cast<std::uint32_t>(kWindowSize);
  memory.ImageBuffer = std::make_unique<std::uint8_t[]>(memory.ImageSize);
  if (!BuildImage(memory, error)) return false;
  const std::uint32_t used = memory.ImageEnd > kFlashBase ? memory.ImageEnd - kFlashBase : 0;
  bytes.assign(memory.ImageBuffer.get(), memory.ImageBuffer.get() + used);
  return true;
}

}  // namespace vestrel::image
