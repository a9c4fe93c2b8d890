// Intel HEX file reader and the program flash image built from it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vestrel::image {

inline constexpr std::uint32_t kFlashBase = 0x1D000000;         // physical address of offset 0
inline constexpr std::uint32_t kFlashVirtualBase = 0x9D000000;  // the same flash, kseg0 alias
inline constexpr std::uint32_t kBlockSize = 512;                // 128 words of 32 bits
inline constexpr std::uint32_t kPageSize = 4096;                // 8 blocks

// Why a read or a build failed, for the user: line is 1-based, 0 when no line is to blame.
struct HexError {
  // Invalid: the content is no usable firmware; Unreadable: the file could not be read at all;
  // Missing: there was nothing to build an image from (no lines, or no image yet).
  enum class Kind { Invalid, Unreadable, Missing };
  std::size_t line = 0;
  std::string reason;
  Kind kind = Kind::Invalid;
};

// Lines made from another format than HEX (an ELF file's segments): lines `first` to `last`
// (1-based) stand for `name`, which messages give instead of a line the user never saw.
struct LineSource {
  std::size_t first = 0;
  std::size_t last = 0;
  std::string name;
};

// The loader's image state. ImageBuffer is absent (null) until a version read allocates it.
struct ProgramMemory {
  std::vector<std::string> HexLines;
  std::vector<LineSource> LineSources;  // empty when HexLines are the file's own
  std::string HexFileName;
  std::unique_ptr<std::uint8_t[]> ImageBuffer;
  std::uint32_t ImageSize = 0;
  std::uint32_t ImageEnd = 0;  // physical address one past the highest stored byte; 0 if none
};

// Reads the whole file into lines (CR, LF or CR LF end a line; NUL ends the text) and tests
// every line's checksum; a record with more than blanks after its checksum fails it too. The
// lines are replaced only if the file could be read; on a failure after that they hold the whole
// file. A file that could not give a load fails too: an empty one, one that is no HEX file at
// all (its first line does not start with ':', or it is binary), one without an end-of-file
// record (cut off), and one with no data for the program flash (all of it at other addresses,
// or none at all). Shows nothing: `error` says what went wrong.
bool ReadHexFile(const std::string& fileName, std::vector<std::string>& hexLines,
                 HexError* error = nullptr);

enum class FileFormat { Hex, Elf };

// Reads a firmware file, Intel HEX or ELF, told apart by its content (an ELF file begins with
// 0x7F 'E' 'L' 'F'), into HEX lines: a HEX file as ReadHexFile does, an ELF file as the records
// of its loadable contents (elf_file.h), which must give a load by the same rules. A damaged ELF
// file leaves no lines. `format`, when given, says what the file was taken for; `sources`, when
// given, what the lines of an ELF file stand for (none for a HEX file).
bool ReadFirmwareFile(const std::string& fileName, std::vector<std::string>& lines,
                      HexError* error = nullptr, FileFormat* format = nullptr,
                      std::vector<LineSource>* sources = nullptr);

// Fills the image with 0xFF and stores every data record that lies in the program flash
// window; ImageEnd becomes one past the highest stored byte, whatever the record order. Fails
// without touching memory when the image is absent or no lines are loaded, and for the lines
// that ReadHexFile refuses or data beyond ImageSize.
bool BuildImage(ProgramMemory& memory, HexError* error = nullptr);

// Calls `onData` with the address (base plus offset) and the byte count of each data record, in
// file order; false with `error` at the first record that fails its checksum test.
bool ForEachDataRecord(
    const std::vector<std::string>& lines,
    const std::function<void(std::uint64_t address, std::uint32_t count)>& onData,
    HexError* error = nullptr);

// Copies `count` characters of `line` from `start` (fewer at the end of the line) into
// `destination` (at least count + 1 chars) and terminates it.
void CopyHexField(std::string_view line, char* destination, std::size_t count, std::size_t start);

// The value of a field: base 16 with leading blanks and a sign accepted, stopping at the first
// non-hex character, no digits reading 0.
std::uint32_t HexField(std::string_view line, std::size_t start, std::size_t count);

// One record ":LLAAAATT<data>CC" with its checksum, in upper-case digits.
std::string HexRecord(std::uint8_t type, std::uint16_t offset, std::span<const std::uint8_t> data);

}  // namespace vestrel::image
