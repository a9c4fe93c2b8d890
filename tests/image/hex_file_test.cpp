// ReadHexFile: line splitting, checksum test of every line, and files that are not HEX files.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "image/program_memory.h"
#include "tests/support/hex_text.h"

namespace vestrel::image {
namespace {

using test::Contains;
using test::HexText;
using test::TempDir;
using Lines = std::vector<std::string>;

const Lines kStale = {"stale"};

struct ReadResult {
  bool ok = false;
  Lines lines;
  HexError error;
};

ReadResult Read(const std::string& path) {
  ReadResult r;
  r.lines = kStale;
  r.ok = ReadHexFile(path, r.lines, &r.error);
  return r;
}

ReadResult ReadText(std::string_view content) {
  TempDir dir;
  return Read(dir.Write("file.hex", content));
}

// Program flash data ahead of the lines under test, so that the file can give a load.
const std::string kFlashData = ":020000041D00DD\n:0400000001020304F2\n";

HexText SmallProgram() {
  return HexText()
      .Data(0x1FC00000, test::Pattern(20, 1))
      .Data(0x1D000000, test::Pattern(40, 2))
      .End();
}

class LineEnds : public testing::TestWithParam<const char*> {};

TEST_P(LineEnds, EveryLineEndReadsTheSameLines) {
  const HexText hex = SmallProgram();
  const ReadResult r = ReadText(hex.Text(GetParam()));
  ASSERT_TRUE(r.ok) << r.error.reason;
  EXPECT_EQ(r.lines, hex.Lines());
}

INSTANTIATE_TEST_SUITE_P(CrLfAndCrLf, LineEnds, testing::Values("\r\n", "\n", "\r"));

TEST(ReadHexFile, SplitsEmptyLinesAndKeepsALastLineWithoutEnd) {
  // CR LF is one line end, LF CR two; empty lines pass the test.
  const ReadResult r = ReadText(kFlashData + ":00000001FF\r\n\r\n\n\r:00000001FF\n\r\n:00000001FF");
  ASSERT_TRUE(r.ok) << r.error.reason;
  EXPECT_EQ(r.lines, (Lines{":020000041D00DD", ":0400000001020304F2", ":00000001FF", "", "", "",
                            ":00000001FF", "", ":00000001FF"}));
}

TEST(ReadHexFile, NulEndsTheText) {
  using namespace std::string_literals;
  const ReadResult r = ReadText(kFlashData + ":00000001FF\0:0000000100\ngarbage\n"s);
  ASSERT_TRUE(r.ok) << r.error.reason;
  EXPECT_EQ(r.lines, (Lines{":020000041D00DD", ":0400000001020304F2", ":00000001FF"}));
}

// Files that cannot give a load are refused before anything is sent; the lines hold the file.
TEST(ReadHexFile, RefusesFilesThatCannotGiveALoad) {
  struct Case {
    std::string text;
    std::vector<const char*> reason;
  };
  const Case cases[] = {
      {kFlashData, {"ends without its end-of-file record: truncated?"}},
      {":00000001FF\n", {"holds no data"}},
      {HexText().Data(0x9D000000, test::Pattern(4)).End().Text(),
       {"no data for the program flash", "0x9D000000 to 0x9D000003", "virtual addresses"}},
      {HexText()
           .Data(0x1FC00000, test::Pattern(32))
           .Data(0x1FC02FF0, test::Pattern(16))
           .End()
           .Text(),
       {"its data lies at 0x1FC00000 to 0x1FC02FFF"}},
      {HexText()
           .Line(test::HexRecord(0x02, 0, {0x10, 0x00}))
           .Line(test::HexRecord(0x00, 0x20, {0x99}))
           .End()
           .Text(),
       {"its data lies at 0x00010020 to 0x00010020"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const ReadResult r = ReadText(c.text);
    EXPECT_FALSE(r.ok);
    for (const char* part : c.reason) EXPECT_TRUE(Contains(r.error.reason, part)) << r.error.reason;
    EXPECT_NE(r.lines, kStale);
  }
}

// Regression: these files got the message of the first record test they happened to fail
// ("line 1 is too short", "wrong checksum", "truncated?"), not what they are.
TEST(ReadHexFile, FilesThatAreNoHexFileAreNamedForWhatTheyAre) {
  using namespace std::string_literals;
  struct Case {
    std::string text;
    std::size_t line;
    std::string reason;
  };
  const Case cases[] = {
      {"", 0, "file.hex: the file is empty"},
      {"\r\n\n", 0, "file.hex: the file holds only empty lines"},
      {"\n# Vestrel\n\nVestrel loads firmware.\n", 2,
       "file.hex is not an Intel HEX or ELF file (line 2 does not start with ':')"},
      {"\x7F\x45LF\x01\x01\x01"s, 0,
       "file.hex looks like a binary file: give the HEX or ELF file the build made"},
      {"\0\0\x40\x27:00000001FF\n"s, 0,
       "file.hex looks like a binary file: give the HEX or ELF file the build made"},
      {"PK\0\x03"s + kFlashData, 0,
       "file.hex looks like a binary file: give the HEX or ELF file the build made"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.text));
    const ReadResult r = ReadText(c.text);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error.line, c.line);
    EXPECT_TRUE(Contains(r.error.reason, c.reason)) << r.error.reason;
  }
}

TEST(ReadHexFile, WrongChecksumAfterTheEndRecordFailsAndKeepsTheWholeFile) {
  const std::string text = SmallProgram().Text() + ":0400000001020304F3\r\n:00000001FF\r\n";
  const ReadResult r = ReadText(text);
  EXPECT_FALSE(r.ok);
  const std::size_t badLine = SmallProgram().Lines().size() + 1;
  EXPECT_EQ(r.error.line, badLine);
  EXPECT_TRUE(Contains(r.error.reason, "line " + std::to_string(badLine))) << r.error.reason;
  EXPECT_TRUE(Contains(r.error.reason, "checksum")) << r.error.reason;
  EXPECT_EQ(r.lines.size(), badLine + 1);
}

TEST(ReadHexFile, ChecksumIsTestedOnEveryByteOfTheLine) {
  // A change in any one byte of the worked record must be caught.
  const std::string good = ":0400000001020304F2";
  auto file = [](const std::string& record) {
    return ":020000041D00DD\n" + record + "\n:00000001FF\n";
  };
  for (std::size_t pos = 1; pos < good.size(); ++pos) {
    std::string bad = good;
    bad[pos] = bad[pos] == '0' ? '1' : '0';
    const ReadResult r = ReadText(file(bad));
    EXPECT_FALSE(r.ok) << "changed position " << pos;
    EXPECT_EQ(r.error.line, 2u);
  }
  EXPECT_TRUE(ReadText(file(good)).ok);
}

TEST(ReadHexFile, AcceptsAnyLaterStartCodeLowerCaseAndTrailingBlanks) {
  const ReadResult r =
      ReadText(":020000041D00DD\n#0400000001020304f2\n:0400000001020304F2 \t\n:00000001FF\n");
  EXPECT_TRUE(r.ok) << r.error.reason;
}

// Regression: the rest of a line after its checksum was ignored, so two records whose line end
// was lost loaded as the first one alone.
TEST(ReadHexFile, CharactersAfterTheChecksumFailTheRecord) {
  const ReadResult r =
      ReadText(":020000041D00DD\n:0400000001020304F2:0400040005060708DA\n:00000001FF\n");
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error.line, 2u);
  EXPECT_TRUE(Contains(r.error.reason, "line 2 has characters after its checksum (from column 20"))
      << r.error.reason;
}

TEST(ReadHexFile, LineShorterThanItsByteCountFails) {
  // The count 0x04 needs 19 characters; the checksum pair is cut off after one digit.
  const ReadResult r = ReadText(":00000001FF\n:0400000001020304F\n");
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error.line, 2u);
  EXPECT_TRUE(Contains(r.error.reason, "line 2 is too short")) << r.error.reason;
  EXPECT_TRUE(Contains(r.error.reason, "19")) << r.error.reason;
}

TEST(ReadHexFile, BlankButNotEmptyLineIsTooShort) {
  const ReadResult r = ReadText(":00000001FF\n \n");
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error.line, 2u);
}

TEST(ReadHexFile, MissingFileKeepsTheLines) {
  TempDir dir;
  const std::string path = dir.File("absent.hex");
  const ReadResult r = Read(path);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.lines, kStale);
  EXPECT_TRUE(Contains(r.error.reason, path)) << r.error.reason;
}

TEST(ReadHexFile, DirectoryIsRefused) {
  TempDir dir;
  const std::string path = dir.File("sub");
  std::filesystem::create_directory(path);
  const ReadResult r = Read(path);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.lines, kStale);
  EXPECT_TRUE(Contains(r.error.reason, "is a directory")) << r.error.reason;
}

TEST(ReadHexFile, FileBeyondTheSizeLimitIsRefusedWithoutReadingIt) {
  TempDir dir;
  const std::string path = dir.File("huge.hex");
  {
    std::ofstream huge(path, std::ios::binary);
    huge.seekp(300L * 1024 * 1024 - 1);  // sparse: costs no disk
    huge.put('\n');
  }
  const ReadResult r = Read(path);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.lines, kStale);
  EXPECT_TRUE(Contains(r.error.reason, "too large")) << r.error.reason;
}

TEST(ReadHexFile, FileOfLineEndsAloneIsRefusedBeforeItTakesGigabytes) {
  // Guards memory: each empty line is an entry of its own.
  TempDir dir;
  const std::string path = dir.Write("newlines.hex", std::string(9u * 1024u * 1024u, '\n'));
  const ReadResult r = Read(path);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.lines, kStale);
  EXPECT_TRUE(Contains(r.error.reason, "too many for a HEX file")) << r.error.reason;
}

TEST(ReadHexFile, BinaryGarbageFailsTheTest) {
  // Bytes 1..255 from a fixed generator after a start code: no NUL, so the whole file is split
  // and tested.
  std::string garbage(1 << 20, '\0');
  std::uint32_t state = 12345;
  for (char& c : garbage) {
    state = state * 1664525u + 1013904223u;
    c = static_cast<char>(1 + (state >> 24) % 255);
  }
  const ReadResult r = ReadText(":" + garbage);
  EXPECT_FALSE(r.ok);
  EXPECT_GE(r.error.line, 1u);
  EXPECT_FALSE(r.error.reason.empty());
}

TEST(ReadHexFile, MillionCharacterLines) {
  const std::string tail(1'000'000, ' ');
  // Blanks after the checksum are accepted, however many.
  ReadResult r = ReadText(":020000041D00DD\n:0400000001020304F2" + tail + "\n:00000001FF\n");
  ASSERT_TRUE(r.ok) << r.error.reason;
  ASSERT_EQ(r.lines.size(), 3u);
  EXPECT_EQ(r.lines[1].size(), 19 + tail.size());

  // Hex digits only: byte count 0xFF, 260 bytes that do not add up to 0.
  r = ReadText(":" + std::string(1'000'000, 'F'));
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error.line, 1u);
  EXPECT_TRUE(Contains(r.error.reason, "checksum")) << r.error.reason;
}

TEST(ReadHexFile, LargeFileIsReadCompletely) {
  // About 200 MB of full-length records, written in pieces to keep the test's own memory low.
  TempDir dir;
  const std::string path = dir.File("large.hex");
  const std::string line = test::HexRecord(0x00, 0x1234, test::Pattern(255)) + "\r\n";
  const std::size_t lineCount = 200'000'000 / line.size();
  {
    std::string block;
    for (int i = 0; i < 1000; ++i) block += line;
    std::ofstream out(path, std::ios::binary);
    out << test::UpperRecord(0x1D00) << "\r\n";
    for (std::size_t written = 0; written < lineCount; written += 1000) {
      out.write(block.data(), static_cast<std::streamsize>(block.size()));
    }
    out << test::EndRecord() << "\r\n";
  }
  const std::size_t expectedLines = (lineCount + 999) / 1000 * 1000 + 2;
  std::vector<std::string> lines;
  HexError error;
  ASSERT_TRUE(ReadHexFile(path, lines, &error)) << error.reason;
  ASSERT_EQ(lines.size(), expectedLines);
  EXPECT_EQ(lines[lines.size() - 2] + "\r\n", line);
}

}  // namespace
}  // namespace vestrel::image
