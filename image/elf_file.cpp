#include "image/elf_file.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace vestrel::image {
namespace {

constexpr std::size_t kHeaderSize = 52;  // ELF32 file header
constexpr std::size_t kProgramHeaderSize = 32;
constexpr std::size_t kSectionHeaderSize = 40;

constexpr std::uint8_t kClass32 = 1;
constexpr std::uint8_t kLittleEndian = 1;
constexpr std::uint8_t kCurrentVersion = 1;
constexpr std::uint16_t kMachineMips = 8;
constexpr std::uint32_t kSegmentLoad = 1;
constexpr std::uint32_t kSectionNoBits = 8;
constexpr std::uint32_t kSectionAlloc = 0x2;

// Real programs have a handful of segments and a few dozen sections; the limits keep the
// section-per-segment walk small on any input.
constexpr std::uint32_t kMaxSegments = 256;
constexpr std::uint32_t kMaxSections = 4096;
// The program flash window is 16 MiB; twice that covers boot flash and initialised data.
constexpr std::uint64_t kMaxLoadBytes = 32u << 20;
constexpr std::uint64_t kAddressSpace = std::uint64_t{1} << 32;
constexpr std::size_t kRecordBytes = 32;

struct Segment {
  std::uint64_t offset;
  std::uint64_t size;      // bytes in the file
  std::uint32_t physical;  // p_paddr
  std::uint32_t index;     // among the program headers
};

struct Section {
  std::uint64_t offset;
  std::uint64_t size;
};

// What goes into the image: `size` file bytes from `offset`, at physical address `address`,
// from segment `segment`.
struct Piece {
  std::uint32_t address;
  std::uint64_t offset;
  std::uint64_t size;
  const Segment* segment;
};

// Little-endian fields by shifts; every caller has checked that they lie within the bytes.
class Bytes {
 public:
  explicit Bytes(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
  std::uint16_t U16(std::uint64_t at) const {
    return static_cast<std::uint16_t>(At(at) | At(at + 1) << 8);
  }
  std::uint32_t U32(std::uint64_t at) const {
    return std::uint32_t{At(at)} | std::uint32_t{At(at + 1)} << 8 |
           std::uint32_t{At(at + 2)} << 16 | std::uint32_t{At(at + 3)} << 24;
  }
  // A position within the bytes fits their size type, also where it is 32 bits (WebAssembly).
  std::uint8_t At(std::uint64_t at) const { return bytes_[static_cast<std::size_t>(at)]; }
  std::uint64_t Size() const { return bytes_.size(); }
  // True when `count` entries of `entrySize` bytes from `offset` lie within the bytes.
  bool Holds(std::uint64_t offset, std::uint64_t count, std::uint64_t entrySize) const {
    return offset <= Size() && count * entrySize <= Size() - offset;
  }

 private:
  std::span<const std::uint8_t> bytes_;
};

bool Fail(HexError* error, std::string reason) {
  if (error != nullptr) *error = HexError{0, std::move(reason)};
  return false;
}

std::string HexText(std::uint64_t value) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (int shift = 28; shift >= 0; shift -= 4) text += kDigits[(value >> shift) & 0xFu];
  return "0x" + text;
}

class ElfReader {
 public:
  ElfReader(std::span<const std::uint8_t> bytes, const std::string& name, HexError* error)
      : bytes_(bytes), name_(name), error_(error) {}

  bool Read(std::vector<Piece>& pieces) {
    return ReadHeader() && ReadSegments() && ReadSections() && Collect(pieces);
  }

 private:
  bool Refuse(const std::string& why) { return Fail(error_, name_ + " " + why); }

  bool ReadHeader() {
    if (bytes_.Size() < kHeaderSize) return Refuse("is too short for an ELF file");
    if (bytes_.At(4) != kClass32)
      return Refuse("is not a 32-bit ELF file (class " + std::to_string(bytes_.At(4)) +
                    "); PIC32 programs are 32-bit");
    if (bytes_.At(5) != kLittleEndian)
      return Refuse("is not a little-endian ELF file; PIC32 programs are little-endian");
    if (bytes_.At(6) != kCurrentVersion || bytes_.U32(20) != kCurrentVersion)
      return Refuse("has an unknown ELF version");
    if (const std::uint16_t machine = bytes_.U16(18); machine != kMachineMips)
      return Refuse("is an ELF file for another processor (machine " + std::to_string(machine) +
                    "), not MIPS");
    return true;
  }

  bool ReadSegments() {
    const std::uint32_t offset = bytes_.U32(28);
    const std::uint16_t entrySize = bytes_.U16(42);
    const std::uint16_t count = bytes_.U16(44);
    if (count == 0) return Refuse("has no program headers: an object file, not a linked program");
    if (count > kMaxSegments)
      return Refuse("has " + std::to_string(count) + " program headers, more than " +
                    std::to_string(kMaxSegments));
    if (entrySize < kProgramHeaderSize || !bytes_.Holds(offset, count, entrySize))
      return Refuse("is cut short or damaged: its program headers lie beyond its end");
    for (std::uint32_t i = 0; i < count; ++i) {
      const std::uint64_t at = offset + std::uint64_t{i} * entrySize;
      if (bytes_.U32(at) != kSegmentLoad) continue;
      const Segment segment{bytes_.U32(at + 4), bytes_.U32(at + 16), bytes_.U32(at + 12), i};
      const std::uint32_t memorySize = bytes_.U32(at + 20);
      if (segment.size == 0) continue;  // only zero-filled memory: nothing to load
      if (!bytes_.Holds(segment.offset, 1, segment.size))
        return Refuse("is cut short: segment " + std::to_string(i) + " lies beyond its end");
      if (segment.size > memorySize)
        return Refuse("is damaged: segment " + std::to_string(i) +
                      " has more bytes in the file than in memory");
      if (segment.physical + segment.size > kAddressSpace)
        return Refuse("is damaged: segment " + std::to_string(i) + " at " +
                      HexText(segment.physical) + " runs past the end of the address space");
      segments_.push_back(segment);
    }
    return true;
  }

  // Allocated sections with contents; none when the file has no section headers.
  bool ReadSections() {
    const std::uint32_t offset = bytes_.U32(32);
    const std::uint16_t entrySize = bytes_.U16(46);
    const std::uint16_t count = bytes_.U16(48);
    if (offset == 0 || count == 0) return true;
    if (count > kMaxSections)
      return Refuse("has " + std::to_string(count) + " sections, more than " +
                    std::to_string(kMaxSections));
    if (entrySize < kSectionHeaderSize || !bytes_.Holds(offset, count, entrySize))
      return Refuse("is cut short or damaged: its section headers lie beyond its end");
    haveSectionHeaders_ = true;
    for (std::uint32_t i = 0; i < count; ++i) {
      const std::uint64_t at = offset + std::uint64_t{i} * entrySize;
      const std::uint32_t type = bytes_.U32(at + 4);
      const std::uint32_t flags = bytes_.U32(at + 8);
      const Section section{bytes_.U32(at + 16), bytes_.U32(at + 20)};
      if ((flags & kSectionAlloc) == 0 || type == kSectionNoBits || section.size == 0) continue;
      sections_.push_back(section);
    }
    return true;
  }

  // The file bytes of each segment that sections fill (or the whole segment), in file order.
  bool Collect(std::vector<Piece>& pieces) {
    std::uint64_t total = 0;
    auto add = [&](const Segment& segment, std::uint64_t first, std::uint64_t end) {
      if (first >= end) return;
      pieces.push_back({static_cast<std::uint32_t>(segment.physical + (first - segment.offset)),
                        first, end - first, &segment});
      total += end - first;
    };
    for (const Segment& segment : segments_) {
      const std::uint64_t segmentEnd = segment.offset + segment.size;
      if (!haveSectionHeaders_) add(segment, segment.offset, segmentEnd);
      for (const Section& section : sections_) {
        add(segment, std::max(section.offset, segment.offset),
            std::min(section.offset + section.size, segmentEnd));
      }
      if (total > kMaxLoadBytes)
        return Refuse("has more than " + std::to_string(kMaxLoadBytes >> 20) +
                      " MiB to load, more than any program flash holds");
    }
    return true;
  }

  Bytes bytes_;
  const std::string& name_;
  HexError* error_;
  std::vector<Segment> segments_;
  std::vector<Section> sections_;
  bool haveSectionHeaders_ = false;
};

std::string SegmentName(const Segment& segment) {
  return "segment " + std::to_string(segment.index) + " at " + HexText(segment.physical);
}

// Data records that never cross a 64 KiB boundary, each upper address set by a type-04 record;
// `sources` says which lines each segment gave.
void WriteRecords(std::span<const std::uint8_t> file, const std::vector<Piece>& pieces,
                  std::vector<std::string>& lines, std::vector<LineSource>& sources) {
  std::int64_t upper = -1;
  for (const Piece& piece : pieces) {
    const std::size_t firstLine = lines.size() + 1;
    for (std::uint64_t done = 0; done < piece.size;) {
      const auto address = static_cast<std::uint32_t>(piece.address + done);
      if (address >> 16 != upper) {
        upper = address >> 16;
        const std::uint8_t value[] = {static_cast<std::uint8_t>(upper >> 8),
                                      static_cast<std::uint8_t>(upper)};
        lines.push_back(HexRecord(0x04, 0, value));
      }
      const std::uint64_t count =
          std::min<std::uint64_t>({kRecordBytes, piece.size - done, 0x10000 - (address & 0xFFFF)});
      lines.push_back(HexRecord(0x00, static_cast<std::uint16_t>(address),
                                file.subspan(static_cast<std::size_t>(piece.offset + done),
                                             static_cast<std::size_t>(count))));
      done += count;
    }
    const std::string name = SegmentName(*piece.segment);
    if (!sources.empty() && sources.back().name == name)
      sources.back().last = lines.size();
    else
      sources.push_back({firstLine, lines.size(), name});
  }
  lines.push_back(":00000001FF");
}

}  // namespace

bool IsElf(std::span<const std::uint8_t> head) {
  return head.size() >= 4 && head[0] == 0x7F && head[1] == 'E' && head[2] == 'L' && head[3] == 'F';
}

bool ElfToHexLines(std::span<const std::uint8_t> bytes, const std::string& name,
                   std::vector<std::string>& lines, HexError* error,
                   std::vector<LineSource>* sources) {
  if (!IsElf(bytes)) return Fail(error, name + " is not an ELF file");
  std::vector<Piece> pieces;
  ElfReader reader(bytes, name, error);
  if (!reader.Read(pieces)) return false;
  lines.clear();
  std::vector<LineSource> made;
  WriteRecords(bytes, pieces, lines, made);
  if (sources != nullptr) *sources = std::move(made);
  return true;
}

}  // namespace vestrel::image
