// A board's own data (a serial number, a MAC address, a calibration slot) written into its image
// beside the firmware. The data becomes HEX records appended to the file's lines, so the image,
// the used length reported to the bootloader and the verify of that board follow from the
// merged lines by themselves, exactly as for the file's own data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "image/program_memory.h"

namespace vestrel::image {

enum class DataEncoding { U32Le, U32Be, U64Le, Ascii, Hex, Bcd };

struct DataFormat {
  DataEncoding encoding = DataEncoding::U32Le;
  std::size_t width = 4;  // bytes written
};

inline constexpr std::size_t kLongestDataText = 64;

// "u32le", "u32be", "u64le", or "ascii:N" (N zero-padded decimal digits), "hex:N" (N upper-case
// hex digits, zero-padded) and "bcd:N" (N bytes of packed BCD, most significant first), with N
// from 1 to 64 bytes; nullopt for anything else.
std::optional<DataFormat> ParseDataFormat(std::string_view text);

// The name ParseDataFormat takes for `format`.
std::string DataFormatName(const DataFormat& format);

// The largest number the format holds.
std::uint64_t LargestValue(const DataFormat& format);

// The bytes of `value` in the format; nullopt when it does not fit.
std::optional<std::vector<std::uint8_t>> EncodeValue(const DataFormat& format, std::uint64_t value);

// A program flash address, physical (0x1D000000 up) or through its virtual aliases (0x9D000000,
// 0xBD000000), as the physical address; nullopt outside the 16 MiB program flash window.
std::optional<std::uint32_t> ProgramFlashAddress(std::uint64_t address);

// HEX records that store `bytes` from the physical `address` on: an extended linear address
// record for each 64 KiB part, then data records of at most 16 bytes.
std::vector<std::string> DataRecords(std::uint32_t address, std::span<const std::uint8_t> bytes);

// The file's lines with `records` after them. Later data overwrites earlier data, so the records
// win where they meet the file's own; the file's records keep their addresses.
std::vector<std::string> MergeRecords(const std::vector<std::string>& lines,
                                      const std::vector<std::string>& records);

// Whether a data record of `lines` stores a byte within the physical [first, first + length).
bool HoldsDataWithin(const std::vector<std::string>& lines, std::uint32_t first,
                     std::uint32_t length);

// The program image of the lines without a target: the bytes from the flash base up to the
// highest stored byte, 0xFF where no record stores one. False with `error` as BuildImage fails.
bool UsedImage(const std::vector<std::string>& lines, const std::string& fileName,
               std::vector<std::uint8_t>& bytes, HexError* error = nullptr);

}  // namespace vestrel::image
