// Fuzz target: the HEX reader and the image builder on any file and any flash size up to 16 MiB.
//
// Input: 4 setting bytes, then the file's bytes.
//   bytes 0..2  flash size, little-endian 24 bits, modulo one more than the size limit that
//               bits 1..3 of byte 3 pick (256 bytes .. 1 MiB), or bits 1..6 all set (16 MiB)
//   byte 3      bit 0: give every line that is long enough a correct checksum before the file is
//               written, so that records reach the image builder; bits 1..7 all set: exactly
//               16 MiB
//
// Invariants, against a plain model of the rules built here from HexField alone:
// - the lines are the file's text up to its first NUL, split at CR, LF and CR LF;
// - when the first non-empty line does not start with ':', ReadHexFile fails naming no line for
//   an empty file, a binary one (a NUL or a control character other than tab, CR and LF in its
//   first 1024 bytes) and one of empty lines alone, and naming that line for a text file;
//   otherwise naming the first line that is shorter than its byte count demands, whose bytes do
//   not add up to 0 or that holds more than blanks after its checksum; otherwise it fails,
//   naming no line, exactly when the file has no end-of-file record or no data record of at
//   least one byte under a program flash base (type 04 sets the base to the value << 16, type
//   02 to the value << 4);
// - BuildImage fails at the first line that fails the same test or stores data beyond the image,
//   fails naming no line for no lines and for the file-wide faults above, and otherwise leaves
//   every byte that no record stored at 0xFF, every stored byte as the last record wrote it, and
//   ImageEnd one past the highest stored byte (0 when none);
// - nothing is written outside the image (the buffer has exactly the flash size; the address
//   sanitizer watches its edges).
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "image/program_memory.h"

namespace {

using vestrel::image::BuildImage;
using vestrel::image::HexError;
using vestrel::image::HexField;
using vestrel::image::kFlashBase;
using vestrel::image::ProgramMemory;
using vestrel::image::ReadHexFile;

constexpr std::uint32_t kSixteenMiB = 16u << 20;

std::vector<std::string> SplitLines(std::string_view text) {
  text = text.substr(0, text.find('\0'));
  std::vector<std::string> lines;
  std::string current;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c != '\r' && c != '\n') {
      current += c;
      continue;
    }
    lines.push_back(current);
    current.clear();
    if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
  }
  if (!current.empty()) lines.push_back(current);
  return lines;
}

// The byte count's demand on the line, the checksum test and the end of the record, as the
// reader applies them.
bool LinePasses(const std::string& line) {
  const std::uint32_t count = HexField(line, 1, 2);
  const std::size_t needed = 11 + 2 * std::size_t{count};
  if (line.size() < needed) return false;
  std::uint32_t sum = 0;
  for (std::size_t j = 0; j < count + 5; ++j) sum += HexField(line, 2 * j + 1, 2);
  return (sum & 0xFF) == 0 && line.find_first_not_of(" \t", needed) == std::string::npos;
}

// Whether the file is HEX text at all; the line that ReadHexFile names when it is not (0: none).
std::optional<std::size_t> NoHexText(std::string_view text, const std::vector<std::string>& lines) {
  if (text.empty()) return 0;
  const auto first =
      std::find_if(lines.begin(), lines.end(), [](const std::string& l) { return !l.empty(); });
  if (first != lines.end() && first->front() == ':') return std::nullopt;
  const std::string_view head = text.substr(0, 1024);
  const bool binary = std::any_of(head.begin(), head.end(), [](char c) {
    const auto u = static_cast<unsigned char>(c);
    return (u < 0x20 && c != '\t' && c != '\n' && c != '\r') || u == 0x7F;
  });
  if (binary || first == lines.end()) return 0;
  return static_cast<std::size_t>(first - lines.begin()) + 1;
}

void RepairChecksum(std::string& line) {
  const std::uint32_t count = HexField(line, 1, 2);
  if (line.size() < 11 + 2 * std::size_t{count}) return;
  std::uint32_t sum = 0;
  for (std::size_t j = 0; j < count + 4; ++j) sum += HexField(line, 2 * j + 1, 2);
  static constexpr char kDigits[] = "0123456789ABCDEF";
  const std::uint32_t checksum = (0x100 - (sum & 0xFF)) & 0xFF;
  line[9 + 2 * count] = kDigits[checksum >> 4];
  line[10 + 2 * count] = kDigits[checksum & 0xF];
}

// What BuildImage must do with the lines.
struct Expected {
  std::optional<std::size_t> failedLine;         // 1-based
  std::map<std::uint32_t, std::uint8_t> stored;  // image offset -> byte
  std::uint32_t imageEnd = 0;
  bool sawEnd = false;     // an end-of-file record
  bool flashData = false;  // a data record of at least one byte under a program flash base

  bool Loadable() const { return !failedLine && sawEnd && flashData; }
};

// With no image size, only the file-wide facts: nothing is placed or bounded.
Expected Model(const std::vector<std::string>& lines, std::optional<std::uint32_t> imageSize) {
  Expected e;
  std::uint32_t upper = 0;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    if (line.empty()) continue;
    if (!LinePasses(line)) {
      e.failedLine = i + 1;
      return e;
    }
    const std::uint32_t count = HexField(line, 1, 2);
    const std::uint32_t offset = HexField(line, 3, 4);
    const std::uint32_t type = HexField(line, 7, 2);
    if (type == 0x01) e.sawEnd = true;
    if (type == 0x02) upper = HexField(line, 9, 4) << 4;
    if (type == 0x04) upper = HexField(line, 9, 4) << 16;
    if (type == 0x00 && (upper >> 16) >= 0x1D00 && (upper >> 16) <= 0x1DFF && count > 0) {
      e.flashData = true;
      if (!imageSize) continue;
      const std::uint32_t first = upper + offset - kFlashBase;
      if (std::uint64_t{first} + count > *imageSize) {
        e.failedLine = i + 1;
        return e;
      }
      for (std::uint32_t j = 0; j < count; ++j)
        e.stored[first + j] = static_cast<std::uint8_t>(HexField(line, 9 + 2 * j, 2));
      e.imageEnd = std::max(e.imageEnd, upper + offset + count);
    }
  }
  return e;
}

// The file lives in memory: a memfd named through /proc, rewritten for every input.
std::string WriteFile(const std::string& text) {
  static const int fd = memfd_create("fuzz.hex", 0);
  FUZZ_CHECK(fd >= 0);
  FUZZ_CHECK(ftruncate(fd, 0) == 0);
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = pwrite(fd, text.data() + done, text.size() - done, static_cast<off_t>(done));
    FUZZ_CHECK(n > 0);
    done += static_cast<std::size_t>(n);
  }
  return "/proc/self/fd/" + std::to_string(fd);
}

// A whole-image comparison in one memcmp: a byte loop here would be traced for coverage byte by
// byte and slow every run down.
void CheckImage(const ProgramMemory& memory, const Expected& expected) {
  std::vector<std::uint8_t> image(memory.ImageSize, 0xFF);
  for (const auto& [offset, value] : expected.stored) image[offset] = value;
  FUZZ_CHECK(image.empty() ||
             std::memcmp(image.data(), memory.ImageBuffer.get(), image.size()) == 0);
  FUZZ_CHECK(memory.ImageEnd == expected.imageEnd);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  const std::uint32_t raw = data[0] | data[1] << 8 | data[2] << 16;
  const bool repair = (data[3] & 0x01) != 0;
  // Large images cost page faults on every run: they get a small share of the inputs.
  static constexpr std::uint32_t kLimits[] = {256,      4 << 10,  16 << 10,  64 << 10,
                                              64 << 10, 64 << 10, 256 << 10, 1 << 20};
  std::uint32_t limit = kLimits[(data[3] >> 1) & 0x07];
  if ((data[3] & 0x7E) == 0x7E) limit = kSixteenMiB;
  const std::uint32_t flashSize = (data[3] & 0xFE) == 0xFE ? kSixteenMiB : raw % (limit + 1);
  std::string text(reinterpret_cast<const char*>(data) + 4, size - 4);

  if (repair) {
    std::vector<std::string> lines = SplitLines(text);
    text.clear();
    for (std::string& line : lines) {
      RepairChecksum(line);
      text += line + '\n';
    }
  }
  const std::vector<std::string> expectedLines = SplitLines(text);

  std::vector<std::string> lines{"stale"};
  HexError readError;
  const bool read = ReadHexFile(WriteFile(text), lines, &readError);
  FUZZ_CHECK(lines == expectedLines);
  std::optional<std::size_t> badLine = NoHexText(text, lines);
  for (std::size_t i = 0; i < lines.size() && !badLine; ++i)
    if (!lines[i].empty() && !LinePasses(lines[i])) badLine = i + 1;
  const Expected whole = Model(lines, std::nullopt);
  FUZZ_CHECK(read == (!badLine && whole.sawEnd && whole.flashData));
  if (!read) FUZZ_CHECK(readError.line == badLine.value_or(0) && !readError.reason.empty());

  ProgramMemory memory;
  memory.HexLines = lines;
  memory.ImageSize = flashSize;
  memory.ImageBuffer.reset(new std::uint8_t[flashSize]);
  std::fill_n(memory.ImageBuffer.get(), flashSize, std::uint8_t{0x5A});  // not the blank value
  const Expected expected = Model(lines, flashSize);
  HexError buildError;
  const bool built = BuildImage(memory, &buildError);
  FUZZ_CHECK(built == expected.Loadable());
  if (built) {
    CheckImage(memory, expected);
  } else {
    FUZZ_CHECK(buildError.line == expected.failedLine.value_or(0) && !buildError.reason.empty());
  }

  // An absent image is never written.
  ProgramMemory absent;
  absent.HexLines = lines;
  absent.ImageSize = flashSize;
  FUZZ_CHECK(!BuildImage(absent));
  return 0;
}
