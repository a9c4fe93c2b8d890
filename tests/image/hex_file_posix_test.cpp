// ReadHexFile on the file kinds and permissions that only POSIX systems have.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "image/program_memory.h"
#include "tests/support/hex_text.h"
#include "tests/support/unprivileged.h"

namespace vestrel::image {
namespace {

using test::Contains;
using test::TempDir;
using Lines = std::vector<std::string>;

// A FIFO without a writer would block an ordinary open for ever.
TEST(ReadHexFile, FifoIsRefusedWithoutBlocking) {
  TempDir dir;
  const std::string path = dir.File("fifo");
  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  Lines lines;
  HexError error;
  EXPECT_FALSE(ReadHexFile(path, lines, &error));
  EXPECT_TRUE(Contains(error.reason, "not a regular file")) << error.reason;
}

TEST(ReadHexFile, UnreadableFileIsRefused) {
  TempDir dir;
  const std::string path = dir.Write("locked.hex", ":00000001FF\n");
  ASSERT_EQ(chmod(path.c_str(), 0), 0);
  test::AsOrdinaryUser([&path] {
    const Lines stale = {"stale"};
    Lines lines = stale;
    HexError error;
    EXPECT_FALSE(ReadHexFile(path, lines, &error));
    EXPECT_EQ(lines, stale);
    EXPECT_TRUE(Contains(error.reason, "cannot open")) << error.reason;
    EXPECT_EQ(error.kind, HexError::Kind::Unreadable);
  });
}

}  // namespace
}  // namespace vestrel::image
