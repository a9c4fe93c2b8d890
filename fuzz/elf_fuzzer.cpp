// Fuzz target: the ELF reader on any bytes.
//
// Invariants:
// - nothing outside the input is read (the address sanitizer watches its edges);
// - a refusal leaves the lines as they were and says why, naming the file;
// - on success the lines are HEX records with correct checksums, ending with the end-of-file
//   record, and the bytes of every data record are the file's own bytes of a loadable segment
//   that covers the record's address, read plainly here from the raw program headers.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "image/elf_file.h"

namespace {

using vestrel::image::HexField;

std::uint32_t U32(const std::uint8_t* data, std::size_t at) {
  return std::uint32_t{data[at]} | std::uint32_t{data[at + 1]} << 8 |
         std::uint32_t{data[at + 2]} << 16 | std::uint32_t{data[at + 3]} << 24;
}

// True when some loadable segment holds `bytes` at physical address `address`.
bool FromASegment(const std::uint8_t* data, std::size_t size, std::uint32_t address,
                  const std::vector<std::uint8_t>& bytes) {
  const std::uint32_t table = U32(data, 28);
  const unsigned entrySize = data[42] | unsigned{data[43]} << 8;
  const unsigned count = data[44] | unsigned{data[45]} << 8;
  for (unsigned i = 0; i < count; ++i) {
    const std::uint64_t at = table + std::uint64_t{i} * entrySize;
    if (U32(data, at) != 1) continue;
    const std::uint64_t offset = U32(data, at + 4), physical = U32(data, at + 12);
    const std::uint64_t fileSize = U32(data, at + 16);
    if (address < physical || address + bytes.size() > physical + fileSize) continue;
    const std::uint64_t from = offset + (address - physical);
    if (from + bytes.size() > size) continue;
    bool same = true;
    for (std::size_t k = 0; k < bytes.size() && same; ++k) same = data[from + k] == bytes[k];
    if (same) return true;
  }
  return false;
}

void CheckRecords(const std::uint8_t* data, std::size_t size,
                  const std::vector<std::string>& lines) {
  FUZZ_CHECK(!lines.empty() && lines.back() == ":00000001FF");
  std::uint32_t upper = 0;
  for (const std::string& line : lines) {
    const std::uint32_t count = HexField(line, 1, 2);
    FUZZ_CHECK(line.size() == 11 + 2 * count && line[0] == ':');
    std::uint32_t sum = 0;
    for (std::size_t j = 0; j < count + 5; ++j) sum += HexField(line, 2 * j + 1, 2);
    FUZZ_CHECK((sum & 0xFF) == 0);
    const std::uint32_t type = HexField(line, 7, 2);
    if (type == 4) upper = HexField(line, 9, 4) << 16;
    if (type != 0) continue;
    std::vector<std::uint8_t> bytes;
    for (std::size_t j = 0; j < count; ++j)
      bytes.push_back(static_cast<std::uint8_t>(HexField(line, 9 + 2 * j, 2)));
    FUZZ_CHECK(FromASegment(data, size, upper + HexField(line, 3, 4), bytes));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::uint8_t> input(data, data + size);  // exactly sized for the sanitizer
  std::vector<std::string> lines{"before"};
  vestrel::image::HexError error;
  if (!vestrel::image::ElfToHexLines(input, "fuzz.elf", lines, &error)) {
    FUZZ_CHECK(lines == std::vector<std::string>{"before"});
    FUZZ_CHECK(error.reason.rfind("fuzz.elf ", 0) == 0);
    return 0;
  }
  CheckRecords(input.data(), input.size(), lines);
  return 0;
}
