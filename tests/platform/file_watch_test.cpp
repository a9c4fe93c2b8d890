#include "platform/file_watch.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

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

// Regression: a watch on a link sat on the link's folder only, and a build that replaced the
// link's target elsewhere was never seen.
TEST(FileWatch, FollowsASymbolicLinkToItsTargetAndToANewTarget) {
  namespace fs = std::filesystem;
  test::TempDir desk, build;
  const std::string target = build.Write("app.hex", "one");
  const std::string link = desk.File("app.hex");
  std::error_code ec;
  fs::create_symlink("current.hex", link, ec);  // relative, through a second link
  if (ec) GTEST_SKIP() << "no symbolic links here: " << ec.message();
  fs::create_symlink(target, desk.File("current.hex"));
  EXPECT_EQ(LinkChain(link), (std::vector<fs::path>{link, desk.File("current.hex"), target}));
  std::string error;
  const auto watch = WatchFile(link, error);
  ASSERT_TRUE(watch) << error;
  auto settle = [&] {
    while (watch->Wait(milliseconds(100)) == WatchResult::Changed) {
    }
  };

  fs::rename(build.Write("app.tmp", "two"), target);
  EXPECT_EQ(WaitOut(*watch), WatchResult::Changed) << "the target replaced";
  settle();

  const std::string other = build.Write("other.hex", "three");
  fs::create_symlink(other, desk.File("next.tmp"));
  fs::rename(desk.File("next.tmp"), desk.File("current.hex"));
  EXPECT_EQ(WaitOut(*watch), WatchResult::Changed) << "the link pointed elsewhere";
  settle();

  build.Write("other.hex", "four");
  EXPECT_EQ(WaitOut(*watch), WatchResult::Changed) << "the new target written";
  settle();
  build.Write("app.hex", "five");  // no longer what the link leads to
  EXPECT_EQ(watch->Wait(milliseconds(200)), WatchResult::TimedOut);
}

TEST(FileWatch, AFolderThatIsNotThereCannotBeWatched) {
  test::TempDir dir;
  std::string error;
  EXPECT_FALSE(WatchFile(dir.File("gone/app.hex"), error));
  EXPECT_NE(error.find("cannot watch"), std::string::npos) << error;
}

}  // namespace
}  // namespace vestrel::platform
