#include "platform/file_watch.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/hex_text.h"

namespace vestrel::platform {
namespace {

using std::chrono::milliseconds;

// A change notice is "something changed in the folder": the caller compares the file.
WatchResult WaitOut(FileWatch& watch) {
  WatchResult r = WatchResult::TimedOut;
  for (int i = 0; i < 50 && r == WatchResult::TimedOut; ++i) r = watch.Wait(milliseconds(100));
  return r;
}

TEST(FileWatch, SeesTheFileWrittenOrReplacedAndIsQuietOtherwise) {
  test::TempDir dir;
  const std::string file = dir.Write("app.hex", "one");
  std::string error;
  const auto watch = WatchFile(file, error);
  ASSERT_TRUE(watch) << error;
  EXPECT_EQ(watch->Wait(milliseconds(50)), WatchResult::TimedOut);

  dir.Write("app.hex", "two");
  EXPECT_EQ(WaitOut(*watch), WatchResult::Changed);
  while (watch->Wait(milliseconds(100)) == WatchResult::Changed) {
  }

  // A build that writes a new file and renames it over the old one.
  std::filesystem::rename(dir.Write("app.tmp", "three"), file);
  EXPECT_EQ(WaitOut(*watch), WatchResult::Changed);
}

TEST(FileWatch, AFolderThatIsNotThereCannotBeWatched) {
  test::TempDir dir;
  std::string error;
  EXPECT_FALSE(WatchFile(dir.File("gone/app.hex"), error));
  EXPECT_NE(error.find("cannot watch"), std::string::npos) << error;
}

}  // namespace
}  // namespace vestrel::platform
