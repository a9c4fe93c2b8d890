// The ELF reader against programs that binutils built from the same data as their HEX twins.
#include "image/elf_file.h"

#include <gtest/gtest.h>

#include <functional>
#include <regex>

#include "tests/support/elf_build.h"

namespace vestrel::image {
namespace {

using test::Bytes;
using test::Region;

constexpr std::uint32_t kFlashSize = 0x4000;

// Program flash with a gap inside one segment (the linker pads it), the last page, boot flash
// and configuration words (both outside the program flash).
const std::vector<Region> kRegions = {
    {0x1D000000, test::Pattern(3000, 1)}, {0x1D000C00, test::Pattern(100, 2)},
    {0x1D003F00, test::Pattern(256, 3)},  {0x1FC00000, test::Pattern(32, 9)},
    {0x1FC02FF0, Bytes(16, 0x7F)},
};

struct Built {
  bool read = false;
  FileFormat format = FileFormat::Hex;
  HexError error;
  ProgramMemory memory;
};

Built Build(const std::string& file) {
  Built built;
  built.memory.HexFileName = file;
  built.read = ReadFirmwareFile(file, built.memory.HexLines, &built.error, &built.format);
  built.memory.ImageSize = kFlashSize;
  built.memory.ImageBuffer = std::make_unique<std::uint8_t[]>(kFlashSize);
  if (built.read) {
    EXPECT_TRUE(BuildImage(built.memory, &built.error)) << built.error.reason;
  }
  return built;
}

class ElfFile : public testing::Test {
 protected:
  void SetUp() override {
    elf = test::BuildElf(dir, "app.elf", kRegions);
    const Bytes log = test::ReadBytes(dir.File("app.elf.log"));
    ASSERT_FALSE(elf.empty()) << "binutils-mips-linux-gnu (make deps) failed:\n"
                              << std::string(log.begin(), log.end());
    bytes = test::ReadBytes(elf);
  }

  // The reason the reader gives for the ELF file with `change` applied.
  std::string Refusal(const std::function<void(Bytes&)>& change) {
    Bytes damaged = bytes;
    change(damaged);
    std::vector<std::string> lines{"untouched"};
    HexError error;
    EXPECT_FALSE(ElfToHexLines(damaged, "app.elf", lines, &error));
    EXPECT_EQ(lines, std::vector<std::string>{"untouched"});
    return error.reason;
  }

  static std::uint32_t U32(const Bytes& b, std::size_t at) {
    return std::uint32_t{b[at]} | std::uint32_t{b[at + 1]} << 8 | std::uint32_t{b[at + 2]} << 16 |
           std::uint32_t{b[at + 3]} << 24;
  }
  static void Put32(Bytes& b, std::size_t at, std::uint32_t value) {
    for (std::size_t i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
  }

  test::TempDir dir;
  std::string elf;
  Bytes bytes;
};

TEST_F(ElfFile, LoadsTheSameImageAsItsHexTwin) {
  const Built fromElf = Build(elf);
  const Built fromHex = Build(dir.File("app.elf.hex"));
  ASSERT_TRUE(fromElf.read) << fromElf.error.reason;
  ASSERT_TRUE(fromHex.read) << fromHex.error.reason;
  EXPECT_EQ(fromElf.format, FileFormat::Elf);
  EXPECT_EQ(fromHex.format, FileFormat::Hex);
  const auto image = [](const Built& b) {
    return Bytes(b.memory.ImageBuffer.get(), b.memory.ImageBuffer.get() + kFlashSize);
  };
  EXPECT_EQ(image(fromElf), image(fromHex));
  EXPECT_EQ(fromElf.memory.ImageEnd, 0x1D004000u);
  EXPECT_EQ(fromElf.memory.ImageEnd, fromHex.memory.ImageEnd);
  // The linker's padding between the first two regions is not data: it stays erased.
  EXPECT_EQ(image(fromElf)[3000], 0xFF);
}

TEST_F(ElfFile, DamagedOrForeignFilesAreRefusedSayingWhy) {
  const std::uint32_t programHeaders = U32(bytes, 28);
  const std::uint32_t sectionHeaders = U32(bytes, 32);
  std::size_t firstSegment = programHeaders;  // the first loadable one
  while (U32(bytes, firstSegment) != 1) firstSegment += 32;
  const std::pair<std::function<void(Bytes&)>, const char*> cases[] = {
      {[](Bytes& b) { b.resize(40); }, "too short"},
      {[](Bytes& b) { b[4] = 2; }, "not a 32-bit"},
      {[](Bytes& b) { b[5] = 2; }, "not a little-endian"},
      {[](Bytes& b) { b[18] = 40; }, "another processor (machine 40)"},
      {[](Bytes& b) { b[44] = b[45] = 0; }, "no program headers"},
      {[&](Bytes& b) { b.resize(programHeaders + 8); }, "program headers lie beyond"},
      {[&](Bytes& b) { Put32(b, firstSegment + 4, 0xFFFFFF00); }, "lies beyond its end"},
      {[&](Bytes& b) { Put32(b, firstSegment + 20, 1); }, "more bytes in the file than in memory"},
      {[&](Bytes& b) { Put32(b, firstSegment + 12, 0xFFFFFF00); }, "past the end of the address"},
      {[&](Bytes& b) { Put32(b, 32, sectionHeaders + 0x100000); }, "section headers lie beyond"},
  };
  for (const auto& [change, why] : cases) {
    const std::string reason = Refusal(change);
    EXPECT_NE(reason.find(why), std::string::npos) << why << ": " << reason;
    EXPECT_EQ(reason.rfind("app.elf ", 0), 0u) << reason;
  }
}

// Regression: data beyond the flash in an ELF file was blamed on "line 18" of HEX records that
// only the reader had made.
TEST_F(ElfFile, DataBeyondTheFlashIsNamedBySegmentInAnElfFileAndByLineInAHexFile) {
  const std::pair<std::string, std::string> cases[] = {{elf, "segment [0-9]+ at 0x1D00[0-9A-F]{4}"},
                                                       {dir.File("app.elf.hex"), "line [0-9]+"}};
  for (const auto& [file, where] : cases) {
    ProgramMemory memory;
    HexError error;
    ASSERT_TRUE(ReadFirmwareFile(file, memory.HexLines, &error, nullptr, &memory.LineSources))
        << error.reason;
    memory.ImageSize = 0x2000;
    memory.ImageBuffer = std::make_unique<std::uint8_t[]>(memory.ImageSize);
    EXPECT_FALSE(BuildImage(memory, &error));
    EXPECT_TRUE(std::regex_match(
        error.reason,
        std::regex(where + ": data at 0x1D003F00 lies beyond the 8 KiB program flash")))
        << error.reason;
  }
}

// The loader tells ELF from HEX by content: a name says nothing.
TEST_F(ElfFile, IsToldFromHexByContentNotName) {
  const std::string renamed = dir.Write("app.hex", std::string(bytes.begin(), bytes.end()));
  EXPECT_EQ(Build(renamed).format, FileFormat::Elf);
  EXPECT_EQ(Build(dir.Write("hex.elf", test::RegionsHex(kRegions))).format, FileFormat::Hex);
}

}  // namespace
}  // namespace vestrel::image
