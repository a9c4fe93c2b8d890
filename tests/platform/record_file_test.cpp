// Record files on every platform: what is read and written, and what is left alone.
#include "platform/record_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "tests/support/hex_text.h"

namespace vestrel::platform {
namespace {

using test::Bytes;
using test::ReadBytes;
using test::TempDir;

TEST(RecordFile, MissingFileIsNotReadAndNotCreated) {
  TempDir dir;
  const std::string path = dir.File("absent.cfg");
  Bytes record(4, 0xAA);
  EXPECT_FALSE(ReadRecordFile(path, record));
  EXPECT_EQ(record, Bytes(4, 0xAA));
  EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(RecordFile, WriteCreatesTheFileAndReadGivesTheRecordBack) {
  TempDir dir;
  const std::string path = dir.File("new.cfg");
  const Bytes written = {1, 2, 3, 4, 5};
  ASSERT_TRUE(WriteRecordFile(path, written));
  EXPECT_EQ(ReadBytes(path), written);
  Bytes read(5, 0);
  EXPECT_EQ(ReadRecordFile(path, read), 5u);
  EXPECT_EQ(read, written);
}

TEST(RecordFile, ShortFileFillsOnlyTheLeadingBytes) {
  TempDir dir;
  const std::string path = dir.Write("short.cfg", "\x11\x22");
  Bytes record = {9, 9, 9, 9};
  EXPECT_EQ(ReadRecordFile(path, record), 2u);
  EXPECT_EQ(record, (Bytes{0x11, 0x22, 9, 9}));
}

TEST(RecordFile, WriteKeepsTheTailOfALongerFile) {
  TempDir dir;
  const std::string path = dir.Write("long.cfg", "abcdefgh");
  ASSERT_TRUE(WriteRecordFile(path, Bytes{'1', '2', '3'}));
  EXPECT_EQ(ReadBytes(path), (Bytes{'1', '2', '3', 'd', 'e', 'f', 'g', 'h'}));
}

TEST(RecordFile, DirectoryIsNeitherReadNorWritten) {
  TempDir dir;
  const std::string path = dir.File("sub");
  std::filesystem::create_directory(path);
  Bytes record(4, 0);
  EXPECT_FALSE(ReadRecordFile(path, record));
  EXPECT_FALSE(WriteRecordFile(path, record));
  EXPECT_TRUE(std::filesystem::is_directory(path));
}

TEST(RecordFile, FileInAMissingDirectoryCannotBeWritten) {
  TempDir dir;
  EXPECT_FALSE(WriteRecordFile(dir.File("no/such/dir.cfg"), Bytes{1}));
}

}  // namespace
}  // namespace vestrel::platform
