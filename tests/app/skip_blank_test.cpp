// The fast load: after an erase, blank blocks of the image are neither written, read back nor
// verified; everything the user sees stays as in the full load.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "app/loader.h"
#include "protocol/bootloader_commands.h"
#include "tests/support/fake_bootloader.h"
#include "tests/support/hex_text.h"
#include "tests/support/recording_view.h"
#include "tests/support/step_outcome.h"

namespace vestrel::app {
namespace {

using protocol::kCmdProgramBlankBlock;
using protocol::kCmdProgramBlock;
using protocol::kCmdReadMemory;
using test::Bytes;
using Addresses = std::vector<std::uint32_t>;

constexpr std::uint32_t kBlock = 512;
constexpr std::uint32_t kFlashSize = 4 * 4096;  // four pages, 32 blocks

// Data in blocks 0 and 9 (pages 0 and 1) and a few bytes of block 25 (page 3); page 2 is blank.
constexpr std::uint32_t kDataBlocks[] = {0, 9, 25};

std::uint32_t BlockAddress(std::uint32_t block) {
  return test::kVirtualBase + block * kBlock;
}

std::uint32_t Get32(const Bytes& bytes, std::size_t at) {
  return static_cast<std::uint32_t>(bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 |
                                    bytes[at + 3] << 24);
}

// A loader with a fake bootloader and the image above.
class Rig {
 public:
  Rig() {
    const unsigned ports[] = {0};
    loader.FillPortList(ports);
    image = Bytes(kFlashSize, 0xFF);
    const Bytes block0 = test::Pattern(kBlock, 1), block9 = test::Pattern(kBlock, 2),
                tail = test::Pattern(12, 3);
    std::copy(block0.begin(), block0.end(), image.begin());
    std::copy(block9.begin(), block9.end(), image.begin() + 9 * kBlock);
    std::copy(tail.begin(), tail.end(), image.begin() + 25 * kBlock + 100);
    test::HexText hex;
    hex.Data(0x1D000000, block0).Data(0x1D000000 + 9 * kBlock, block9);
    hex.Data(0x1D000000 + 25 * kBlock + 100, tail);
    hexFile = dir.Write("app.hex", hex.End().Text());
  }

  // Connects, erases (when asked) and programs, as the automatic run does.
  void Load(bool skip, bool erase = true) {
    loader.SetSkipBlankBlocks(skip);
    loader.LoadHexFile(hexFile);
    loader.ConnectSpeedButtonClick();
    ASSERT_TRUE(test::Ok(loader, app::Step::Connect));
    if (erase) {
      loader.EraseSpeedButtonClick();
      ASSERT_TRUE(test::Ok(loader, app::Step::Erase));
    }
    loader.ProgramSpeedButtonClick();
  }

  Addresses Reads() const {
    Addresses addresses;
    for (const Bytes& r : fake.RequestsOf(kCmdReadMemory)) addresses.push_back(Get32(r, 4));
    return addresses;
  }

  std::set<std::uint32_t> Written() const {
    std::set<std::uint32_t> addresses;
    for (const auto& [address, writes] : fake.programWrites) addresses.insert(address);
    return addresses;
  }

  test::TempDir dir;
  std::string hexFile;
  Bytes image;
  test::FakeBootloader fake{kFlashSize};
  test::RecordingView view;
  Loader loader{view, fake, [](unsigned n) { return "/dev/test/com" + std::to_string(n); }};
};

class SkipBlank : public ::testing::Test, public Rig {};

TEST_F(SkipBlank, OnlyDataBlocksAreWrittenReadBackAndVerified) {
  Load(true);
  const Addresses data = {BlockAddress(0), BlockAddress(9), BlockAddress(25)};
  EXPECT_EQ(Written(), std::set<std::uint32_t>(data.begin(), data.end()));
  EXPECT_EQ(fake.RequestsOf(kCmdProgramBlankBlock).size(), 0u);
  // Read-back of pages 0, 1 and 3 (their data blocks only), then the verify pass.
  Addresses reads = data;
  reads.insert(reads.end(), data.begin(), data.end());
  EXPECT_EQ(Reads(), reads);
  EXPECT_EQ(fake.flash, image);
  EXPECT_TRUE(test::Ok(loader, app::Step::Program));
  EXPECT_TRUE(test::Ok(loader, app::Step::Verify));
  EXPECT_EQ(fake.finishLength, 25 * kBlock + 112);
  // One read-back per block read back, each giving its reply 1 ms more.
  EXPECT_EQ(
      std::count(fake.replyWaits.begin(), fake.replyWaits.end(), std::chrono::milliseconds(1)), 3);
}

TEST_F(SkipBlank, UserSeesTheSameAsInTheFullLoad) {
  Load(true);
  Rig full;
  full.Load(false);
  EXPECT_EQ(view.infos, full.view.infos);
  EXPECT_EQ(view.percents, full.view.percents);
  EXPECT_EQ(view.progressHistory, full.view.progressHistory);
  EXPECT_EQ(view.messages.size(), 0u);
  EXPECT_EQ(fake.finishLength, full.fake.finishLength);
  EXPECT_EQ(fake.flash, full.fake.flash);
}

TEST_F(SkipBlank, OffLoadsEveryBlock) {
  Load(false);
  EXPECT_EQ(Written().size(), kFlashSize / kBlock);
  EXPECT_EQ(fake.RequestsOf(kCmdProgramBlock).size(), std::size(kDataBlocks));
  EXPECT_EQ(Reads().size(), 2 * kFlashSize / kBlock);
  EXPECT_EQ(fake.flash, image);
}

TEST_F(SkipBlank, WithoutAnEraseEveryBlockIsLoaded) {
  // Old contents in a block that is blank in the image: only writing it makes the flash right.
  fake.flash[20 * kBlock] = 0x00;
  Load(true, false);
  EXPECT_EQ(Written().size(), kFlashSize / kBlock);
  EXPECT_EQ(Reads().size(), 2 * kFlashSize / kBlock);
  EXPECT_EQ(fake.flash, image);
}

TEST_F(SkipBlank, DataBlockFailingItsReadBackRewritesItsPage) {
  fake.wrongReadBacks[BlockAddress(9)] = 1;
  Load(true);
  EXPECT_EQ(fake.programWrites[BlockAddress(0)], 1);
  EXPECT_EQ(fake.programWrites[BlockAddress(9)], 2);
  EXPECT_EQ(Written().size(), 3u);  // the blank blocks of page 1 are still left out
  EXPECT_TRUE(test::Ok(loader, app::Step::Verify));
  EXPECT_EQ(fake.flash, image);
}

TEST_F(SkipBlank, VerifyComparesDataBlocksAndTrustsTheEraseForTheRest) {
  Load(true);
  ASSERT_TRUE(test::Ok(loader, app::Step::Verify));

  fake.flash[18 * kBlock] = 0x00;  // a blank block: not looked at
  loader.VerifySpeedButtonClick();
  EXPECT_TRUE(test::Ok(loader, app::Step::Verify));

  fake.flash[9 * kBlock + 7] ^= 0x01;  // a data block
  loader.VerifySpeedButtonClick();
  EXPECT_FALSE(test::Ok(loader, app::Step::Verify));
  EXPECT_EQ(view.MessageHeads(), std::vector<std::string>{"Receive Verify Error Addr: 0x9D001200"});
}

}  // namespace
}  // namespace vestrel::app
