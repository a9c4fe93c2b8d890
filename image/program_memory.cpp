#include "image/program_memory.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <span>
#include <system_error>

#include "image/elf_file.h"

namespace vestrel::image {
namespace {

// Larger files are refused rather than read: no real program flash needs a fraction of this.
constexpr std::uintmax_t kMaxFileSize = 256u * 1024u * 1024u;
constexpr std::size_t kReadChunk = 64 * 1024;
// Every line, empty or not, is kept as a string of its own (some 32 bytes even when empty), so
// a file of line ends alone would take gigabytes. A HEX file for the whole 16 MiB window in
// 16-byte records has about a million lines; eight times that is refused.
constexpr std::size_t kMaxLines = 8u * 1024u * 1024u;

// The upper address window of the program flash: upper 16 bits 0x1D00 through 0x1DFF.
constexpr std::uint32_t kWindowFirst = 0x1D000000;
constexpr std::uint32_t kWindowLast = 0x1DFF0000;

constexpr std::uint8_t kTypeData = 0x00;
constexpr std::uint8_t kTypeEndOfFile = 0x01;
constexpr std::uint8_t kTypeExtendedSegmentAddress = 0x02;
constexpr std::uint8_t kTypeExtendedLinearAddress = 0x04;

// Digit values by character, -1 for a character that is not a hex digit.
constexpr std::array<std::int8_t, 256> kHexDigits = [] {
  std::array<std::int8_t, 256> table{};
  table.fill(-1);
  for (int i = 0; i < 10; ++i)
    table[static_cast<std::size_t>('0' + i)] = static_cast<std::int8_t>(i);
  for (int i = 0; i < 6; ++i) {
    table[static_cast<std::size_t>('A' + i)] = static_cast<std::int8_t>(10 + i);
    table[static_cast<std::size_t>('a' + i)] = static_cast<std::int8_t>(10 + i);
  }
  return table;
}();

int HexDigitValue(char c) {
  return kHexDigits[static_cast<unsigned char>(c)];
}

std::string Hex(std::uint32_t value, int digits) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text = "0x";
  for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) {
    text += kDigits[(value >> shift) & 0xFu];
  }
  return text;
}

std::string SizeText(std::uint32_t bytes) {
  if (bytes != 0 && bytes % 1024 == 0) return std::to_string(bytes / 1024) + " KiB";
  return std::to_string(bytes) + " bytes";
}

bool Fail(HexError* error, std::size_t line, std::string reason,
          HexError::Kind kind = HexError::Kind::Invalid) {
  if (error != nullptr) *error = HexError{line, std::move(reason), kind};
  return false;
}

bool FailUnreadable(HexError* error, std::string reason) {
  return Fail(error, 0, std::move(reason), HexError::Kind::Unreadable);
}

std::string LineText(std::size_t lineNumber) {
  return "line " + std::to_string(lineNumber);
}

// What a line stands for: itself in a HEX file, the part of the file it was made from else.
std::string SourceText(const std::vector<LineSource>& sources, std::size_t lineNumber) {
  for (const LineSource& source : sources)
    if (lineNumber >= source.first && lineNumber <= source.last) return source.name;
  return LineText(lineNumber);
}

// One non-empty line after the checksum test: its N + 5 bytes (count, address high, address
// low, type, N data bytes, checksum) and the address offset, which is converted from its own
// four characters.
struct Record {
  std::array<std::uint8_t, 5 + 255> bytes{};
  std::uint32_t offset = 0;
  std::size_t lineNumber = 0;

  std::uint32_t Count() const { return bytes[0]; }
  std::uint32_t Type() const { return bytes[3]; }
  const std::uint8_t* Data() const { return bytes.data() + 4; }
};

// Reads a line's bytes by position and tests that they add up to 0 modulo 256. A line too
// short for its byte count fails without being read beyond its end.
bool ReadRecord(std::string_view line, std::size_t lineNumber, Record& record, HexError* error) {
  const std::uint32_t count = HexField(line, 1, 2);
  const std::size_t needed = 11 + 2 * std::size_t{count};
  if (line.size() < needed) {
    return Fail(error, lineNumber,
                LineText(lineNumber) + " is too short: byte count " + Hex(count, 2) + " needs " +
                    std::to_string(needed) + " characters, the line has " +
                    std::to_string(line.size()));
  }
  std::uint32_t sum = 0;
  for (std::size_t j = 0; j < count + 5; ++j) {
    const int high = HexDigitValue(line[2 * j + 1]);
    const int low = HexDigitValue(line[2 * j + 2]);
    record.bytes[j] = high >= 0 && low >= 0
                          ? static_cast<std::uint8_t>(high << 4 | low)
                          : static_cast<std::uint8_t>(HexField(line, 2 * j + 1, 2));
    sum += record.bytes[j];
  }
  sum &= 0xFFu;
  if (sum != 0) {
    return Fail(error, lineNumber,
                LineText(lineNumber) + ": wrong checksum (the bytes add up to " + Hex(sum, 2) +
                    ", not 0x00)");
  }
  // More than blanks after the checksum is a record the reader would misread: two records
  // whose line end was lost, or a count that does not fit the line.
  if (const std::size_t extra = line.find_first_not_of(" \t", needed);
      extra != std::string_view::npos) {
    return Fail(error, lineNumber,
                LineText(lineNumber) + " has characters after its checksum (from column " +
                    std::to_string(extra + 1) + " on)");
  }
  record.offset = HexField(line, 3, 4);
  record.lineNumber = lineNumber;
  return true;
}

// The upper address decides whether a data record belongs to the program flash.
bool InWindow(std::uint32_t upperAddress) {
  return upperAddress >= kWindowFirst && upperAddress <= kWindowLast;
}

// Virtual (kseg0 and kseg1) aliases of the program flash, a common way to get a file wrong.
bool InVirtualAlias(std::uint64_t address) {
  const std::uint64_t upper = address >> 24;
  return upper == 0x9D || upper == 0xBD;
}

// Walks the records in file order with the base address that the address records set: a
// type-04 record sets the upper 16 bits, a type-02 record the segment times 16. Notes what the
// whole file holds, so that a file that cannot give a load is refused before anything is sent.
class RecordWalk {
 public:
  // Calls onData(record, base) for each data record; stops at the first record that fails its
  // checksum test or for which onData returns false.
  template <typename OnData>
  bool Run(const std::vector<std::string>& lines, HexError* error, OnData onData) {
    Record record;
    std::uint32_t base = 0;
    for (std::size_t i = 0; i < lines.size(); ++i) {
      if (lines[i].empty()) continue;
      if (!ReadRecord(lines[i], i + 1, record, error)) return false;
      switch (record.Type()) {
        case kTypeData:
          Note(record, base);
          if (!onData(record, base)) return false;
          break;
        case kTypeEndOfFile:
          sawEnd_ = true;
          break;
        case kTypeExtendedSegmentAddress:
          base = HexField(lines[i], 9, 4) << 4;
          break;
        case kTypeExtendedLinearAddress:
          base = HexField(lines[i], 9, 4) << 16;
          break;
        default:
          break;
      }
    }
    return true;
  }

  // After a complete walk: the file must end properly and hold data for the program flash.
  bool Check(const std::string& fileName, HexError* error) const {
    if (!sawEnd_)
      return Fail(error, 0, fileName + " ends without its end-of-file record: truncated?");
    if (flashData_) return true;
    if (!otherData_) return Fail(error, 0, fileName + " holds no data");
    std::string reason = fileName + " holds no data for the program flash (" +
                         Hex(kWindowFirst, 8) + " to " + Hex(kWindowLast + 0xFFFF, 8) +
                         "): its data lies at " + Hex(static_cast<std::uint32_t>(lowest_), 8) +
                         " to " + Hex(static_cast<std::uint32_t>(highest_ - 1), 8);
    if (InVirtualAlias(lowest_) || InVirtualAlias(highest_ - 1)) {
      reason += ", virtual addresses: give the program flash at its physical addresses (" +
                Hex(kFlashBase, 8) + " up)";
    }
    return Fail(error, 0, reason);
  }

 private:
  void Note(const Record& record, std::uint32_t base) {
    if (record.Count() == 0) return;
    if (InWindow(base)) {
      flashData_ = true;
      return;
    }
    const std::uint64_t first = std::uint64_t{base} + record.offset;
    lowest_ = otherData_ ? std::min(lowest_, first) : first;
    highest_ = std::max(highest_, first + record.Count());
    otherData_ = true;
  }

  bool sawEnd_ = false;
  bool flashData_ = false;
  bool otherData_ = false;
  std::uint64_t lowest_ = 0;   // data outside the program flash: first address
  std::uint64_t highest_ = 0;  // and one past the last
};

// The file's size and its first bytes, for telling a file that is no HEX file at all by its
// kind.
struct TextShape {
  static constexpr std::size_t kHeadSize = 1024;
  std::uintmax_t bytes = 0;
  std::string head;
};

// NUL and the control characters that text does not hold (tab and line ends it does).
bool IsBinaryByte(char c) {
  const auto u = static_cast<unsigned char>(c);
  return (u < 0x20 && c != '\t' && c != '\n' && c != '\r') || u == 0x7F;
}

// A file whose first record does not even start like one gets a message about what the file
// is, rather than the first record test it happens to fail. Later lines are tested as records.
bool CheckIsHexText(const std::string& fileName, const std::vector<std::string>& lines,
                    const TextShape& shape, HexError* error) {
  if (shape.bytes == 0) return Fail(error, 0, fileName + ": the file is empty");
  const auto first =
      std::find_if(lines.begin(), lines.end(), [](const std::string& l) { return !l.empty(); });
  if (first != lines.end() && first->front() == ':') return true;
  if (std::any_of(shape.head.begin(), shape.head.end(), IsBinaryByte))
    return Fail(error, 0,
                fileName + " looks like a binary file: give the HEX or ELF file the build made");
  if (first == lines.end()) return Fail(error, 0, fileName + ": the file holds only empty lines");
  const std::size_t number = static_cast<std::size_t>(first - lines.begin()) + 1;
  return Fail(error, number,
              fileName + " is not an Intel HEX or ELF file (" + LineText(number) +
                  " does not start with ':')");
}

// Splits text into lines as it arrives in chunks: CR, LF or CR LF end a line, NUL ends the text.
class LineSplitter {
 public:
  explicit LineSplitter(std::vector<std::string>& lines) : lines_(lines) {}

  // Returns false once a NUL has ended the text.
  bool Feed(const char* data, std::size_t size) {
    const char* p = data;
    const char* end = data + size;
    while (p != end) {
      if (pendingCr_) {
        pendingCr_ = false;
        if (*p == '\n') {
          ++p;
          continue;
        }
      }
      const char* stop =
          std::find_if(p, end, [](char c) { return c == '\r' || c == '\n' || c == '\0'; });
      current_.append(p, stop);
      if (stop == end) break;
      if (*stop == '\0') return false;
      pendingCr_ = *stop == '\r';
      lines_.push_back(std::move(current_));
      current_.clear();
      p = stop + 1;
    }
    return true;
  }

  // The last line needs no line end.
  void Finish() {
    if (!current_.empty()) lines_.push_back(std::move(current_));
    current_.clear();
  }

 private:
  std::vector<std::string>& lines_;
  std::string current_;
  bool pendingCr_ = false;
};

std::string SystemMessage(int code) {
  return std::error_code(code, std::generic_category()).message();
}

// Only regular files are read: a directory, a FIFO or a device could block or never end.
bool CheckReadable(const std::string& fileName, const char* kind, HexError* error) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::file_status status = fs::status(fileName, ec);
  if (ec) return FailUnreadable(error, "cannot open " + fileName + ": " + ec.message());
  if (fs::is_directory(status)) return FailUnreadable(error, fileName + " is a directory");
  if (!fs::is_regular_file(status))
    return FailUnreadable(error, fileName + " is not a regular file");
  const std::uintmax_t size = fs::file_size(fileName, ec);
  if (ec) return FailUnreadable(error, "cannot open " + fileName + ": " + ec.message());
  if (size > kMaxFileSize) {
    return Fail(error, 0,
                fileName + " is too large for " + kind + " (" + std::to_string(size) +
                    " bytes, at most " + std::to_string(kMaxFileSize) + ")");
  }
  return true;
}

// Reads the file's lines into `lines`.
bool ReadLines(const std::string& fileName, std::vector<std::string>& lines, TextShape& shape,
               HexError* error) {
  if (!CheckReadable(fileName, "a HEX file", error)) return false;
  errno = 0;
  std::ifstream in(fileName, std::ios::binary);
  if (!in) return FailUnreadable(error, "cannot open " + fileName + ": " + SystemMessage(errno));

  LineSplitter splitter(lines);
  std::vector<char> chunk(kReadChunk);
  std::uintmax_t total = 0;
  while (in) {
    in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    const auto got = static_cast<std::size_t>(in.gcount());
    if (total == 0) shape.head.assign(chunk.data(), std::min(got, TextShape::kHeadSize));
    total += got;
    if (total > kMaxFileSize)
      return Fail(error, 0, fileName + " grew beyond the size limit while it was read");
    const bool more = splitter.Feed(chunk.data(), got);
    if (lines.size() > kMaxLines) {
      return Fail(error, 0,
                  fileName + " has more than " + std::to_string(kMaxLines) +
                      " lines, too many for a HEX file");
    }
    if (!more) break;
  }
  if (in.bad())
    return FailUnreadable(error, "cannot read " + fileName + ": " + SystemMessage(errno));
  splitter.Finish();
  shape.bytes = total;
  return true;
}

// The whole file, for a format that is read as a whole (ELF).
bool ReadBytes(const std::string& fileName, std::vector<std::uint8_t>& bytes, HexError* error) {
  if (!CheckReadable(fileName, "an ELF file", error)) return false;
  errno = 0;
  std::ifstream in(fileName, std::ios::binary);
  if (!in) return FailUnreadable(error, "cannot open " + fileName + ": " + SystemMessage(errno));
  std::vector<char> chunk(kReadChunk);
  while (in) {
    in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    const auto got = static_cast<std::size_t>(in.gcount());
    if (bytes.size() + got > kMaxFileSize)
      return Fail(error, 0, fileName + " grew beyond the size limit while it was read");
    bytes.insert(bytes.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(got));
  }
  if (in.bad())
    return FailUnreadable(error, "cannot read " + fileName + ": " + SystemMessage(errno));
  return true;
}

// Only a regular file is opened to look: opening a FIFO could block.
bool StartsAsElf(const std::string& fileName) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(fileName, ec)) return false;
  std::ifstream in(fileName, std::ios::binary);
  std::array<std::uint8_t, 4> head{};
  const auto size = static_cast<std::streamsize>(head.size());
  in.read(reinterpret_cast<char*>(head.data()), size);
  return in.gcount() == size && IsElf(head);
}

}  // namespace

void CopyHexField(std::string_view line, char* destination, std::size_t count, std::size_t start) {
  std::size_t copied = 0;
  if (start < line.size()) {
    copied = std::min(count, line.size() - start);
    std::memcpy(destination, line.data() + start, copied);
  }
  destination[copied] = '\0';
}

std::uint32_t HexField(std::string_view line, std::size_t start, std::size_t count) {
  const std::uint32_t mask = count >= 8 ? 0xFFFFFFFFu : (1u << (4 * count)) - 1u;
  // The usual case, a field of hex digits only, without the general conversion.
  if (start + count <= line.size()) {
    std::uint32_t value = 0;
    std::size_t i = 0;
    for (; i < count; ++i) {
      const int digit = HexDigitValue(line[start + i]);
      if (digit < 0) break;
      value = (value << 4) | static_cast<std::uint32_t>(digit);
    }
    if (i == count) return value & mask;
  }
  // Blanks, a sign, a short field or a stray character: the standard conversion decides.
  std::array<char, 16> field{};
  const std::size_t length = std::min(count, field.size() - 1);
  CopyHexField(line, field.data(), length, start);
  const long value = std::strtol(field.data(), nullptr, 16);
  return static_cast<std::uint32_t>(static_cast<unsigned long>(value)) & mask;
}

bool ReadHexFile(const std::string& fileName, std::vector<std::string>& hexLines, HexError* error) {
  std::vector<std::string> lines;
  TextShape shape;
  if (!ReadLines(fileName, lines, shape, error)) return false;
  hexLines = std::move(lines);
  if (!CheckIsHexText(fileName, hexLines, shape, error)) return false;
  RecordWalk walk;
  if (!walk.Run(hexLines, error, [](const Record&, std::uint32_t) { return true; })) return false;
  return walk.Check(fileName, error);
}

bool ReadFirmwareFile(const std::string& fileName, std::vector<std::string>& lines, HexError* error,
                      FileFormat* format, std::vector<LineSource>* sources) {
  if (format != nullptr) *format = FileFormat::Hex;
  if (!StartsAsElf(fileName)) {
    if (sources != nullptr) sources->clear();
    return ReadHexFile(fileName, lines, error);
  }
  if (format != nullptr) *format = FileFormat::Elf;
  std::vector<std::uint8_t> bytes;
  if (!ReadBytes(fileName, bytes, error)) return false;
  std::vector<std::string> converted;
  std::vector<LineSource> segments;
  const bool read = ElfToHexLines(bytes, fileName, converted, error, &segments);
  lines = std::move(converted);  // a damaged file leaves nothing to build an image from
  if (sources != nullptr) *sources = std::move(segments);
  if (!read) return false;
  RecordWalk walk;
  return walk.Run(lines, error, [](const Record&, std::uint32_t) { return true; }) &&
         walk.Check(fileName, error);
}

bool ForEachDataRecord(const std::vector<std::string>& lines,
                       const std::function<void(std::uint64_t, std::uint32_t)>& onData,
                       HexError* error) {
  RecordWalk walk;
  return walk.Run(lines, error, [&](const Record& record, std::uint32_t base) {
    onData(std::uint64_t{base} + record.offset, record.Count());
    return true;
  });
}

bool BuildImage(ProgramMemory& memory, HexError* error) {
  if (!memory.ImageBuffer)
    return Fail(error, 0, "no program memory image: connect first", HexError::Kind::Missing);
  if (memory.HexLines.empty())
    return Fail(error, 0, "no HEX file is loaded", HexError::Kind::Missing);
  std::uint8_t* const image = memory.ImageBuffer.get();
  std::fill_n(image, memory.ImageSize, std::uint8_t{0xFF});
  memory.ImageEnd = 0;

  RecordWalk walk;
  const bool stored =
      walk.Run(memory.HexLines, error, [&](const Record& record, std::uint32_t base) {
        if (!InWindow(base) || record.Count() == 0) return true;
        // At most 0xFF0000 + 0xFFFF + 0xFF: no wrap in 32 bits, so a record crossing 64 KiB
        // simply continues into the next 64 KiB.
        const std::uint32_t address = base + record.offset;
        const std::uint32_t first = address - kFlashBase;
        if (first + record.Count() > memory.ImageSize) {
          const std::uint32_t outside = kFlashBase + std::max(first, memory.ImageSize);
          return Fail(error, record.lineNumber,
                      SourceText(memory.LineSources, record.lineNumber) + ": data at " +
                          Hex(outside, 8) + " lies beyond the " + SizeText(memory.ImageSize) +
                          " program flash");
        }
        std::copy_n(record.Data(), record.Count(), image + first);
        memory.ImageEnd = std::max(memory.ImageEnd, address + record.Count());
        return true;
      });
  return stored && walk.Check(memory.HexFileName, error);
}

std::string HexRecord(std::uint8_t type, std::uint16_t offset, std::span<const std::uint8_t> data) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string line = ":";
  line.reserve(11 + 2 * data.size());
  unsigned sum = 0;
  const auto put = [&](std::uint8_t b) {
    line += kDigits[b >> 4];
    line += kDigits[b & 0xFu];
    sum += b;
  };
  put(static_cast<std::uint8_t>(data.size()));
  put(static_cast<std::uint8_t>(offset >> 8));
  put(static_cast<std::uint8_t>(offset));
  put(type);
  for (const std::uint8_t b : data) put(b);
  put(static_cast<std::uint8_t>(-sum));
  return line;
}

}  // namespace vestrel::image
