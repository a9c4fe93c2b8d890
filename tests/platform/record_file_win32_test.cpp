// A record file that another program holds open (share mode 0) is neither read nor written.
// <windows.h> after the layer's headers (see win32_dcb.h).
// clang-format off
#include "platform/record_file.h"
#include "platform/win32_support.h"
// clang-format on

#include <gtest/gtest.h>

#include "tests/support/hex_text.h"

namespace vestrel::platform {
namespace {

using test::Bytes;

TEST(RecordFileWin32, FileHeldByAnotherOpenerIsLeftAlone) {
  test::TempDir dir;
  const std::string path = dir.Write("held.cfg", "abcd");
  win32::UniqueHandle holder(::CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                           FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(holder.Valid());
  Bytes record(4, 0);
  EXPECT_FALSE(ReadRecordFile(path, record));
  EXPECT_FALSE(WriteRecordFile(path, Bytes{1, 2, 3, 4}));
  holder.Reset();
  EXPECT_EQ(test::ReadBytes(path), (Bytes{'a', 'b', 'c', 'd'}));
  EXPECT_EQ(ReadRecordFile(path, record), 4u);
}

}  // namespace
}  // namespace vestrel::platform
