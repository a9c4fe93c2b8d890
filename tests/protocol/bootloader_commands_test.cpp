#include "protocol/bootloader_commands.h"

#include <gtest/gtest.h>

#include "protocol/frame.h"
#include "tests/support/fake_bootloader.h"
#include "tests/support/recording_view.h"

namespace vestrel::protocol {
namespace {

using test::Bytes;
using test::FakeBootloader;
using Fault = FakeBootloader::Fault;

constexpr std::uint32_t kBlock1 = 0x9D000200;

class BootloaderCommandsTest : public ::testing::Test {
 protected:
  Bytes Block(std::uint8_t fill) const { return Bytes(512, fill); }

  std::vector<std::string> Boxes() const { return view.MessageHeads(); }

  FakeBootloader fake{0x2000, true};
  test::RecordingView view;
  image::ProgramMemory memory;
  std::uint8_t eraseOk = 0;
  std::int32_t retryCount = 0;
  BootloaderCommands commands{fake, view, memory, eraseOk, retryCount};
};

TEST_F(BootloaderCommandsTest, ReadVersionShowsVersionAndAllocatesReportedFlash) {
  fake.reportedSize = 0x80000;  // reply bytes 00 00 08 00 03 01
  ASSERT_TRUE(commands.ReadVersion());
  EXPECT_EQ(view.versionText, "BL Version: v01.03");
  EXPECT_EQ(memory.ImageSize, 0x80000u);
  EXPECT_NE(memory.ImageBuffer, nullptr);
  EXPECT_EQ(fake.requests, std::vector<Bytes>{Bytes({0x09, 0x00, 0x02, 0x00})});
  // No fixed pause: the reply gets 5 ms beyond the link's 100 ms instead.
  EXPECT_TRUE(view.pauses.empty());
  EXPECT_EQ(fake.replyWaits, std::vector<std::chrono::milliseconds>{std::chrono::milliseconds(5)});
  EXPECT_TRUE(view.messages.empty());
}

TEST_F(BootloaderCommandsTest, ReadVersionFailuresLeaveNoImage) {
  memory.ImageBuffer.reset(new std::uint8_t[16]);
  fake.sendFailures[kCmdReadVersion] = 1;
  EXPECT_FALSE(commands.ReadVersion());
  // A lost reply is asked for again until the link is given up.
  fake.receiveFaults[kCmdReadVersion] =
      std::deque<Fault>(kFailedRepliesBeforeLost, Fault{kTimedOut, false});
  EXPECT_FALSE(commands.ReadVersion());
  EXPECT_EQ(fake.RequestsOf(kCmdReadVersion).size(), std::size_t{kFailedRepliesBeforeLost});
  // Five payload bytes cannot hold the size and both version bytes: no field is read.
  fake.lostReason.clear();
  fake.replyPayloadSize[kCmdReadVersion] = 5;
  EXPECT_FALSE(commands.ReadVersion());

  EXPECT_EQ(Boxes(),
            (std::vector<std::string>{"Read Version Send Error", "Read Version Receive Error",
                                      "Read Version Receive Error"}));
  EXPECT_EQ(view.versionText, "BL Version: N/A");
  EXPECT_EQ(memory.ImageBuffer, nullptr);
}

TEST_F(BootloaderCommandsTest, ReadVersionAcceptsEmptyFlashAndRefusesUnwalkableSizes) {
  fake.reportedSize = 0;
  ASSERT_TRUE(commands.ReadVersion());
  EXPECT_EQ(memory.ImageSize, 0u);
  EXPECT_NE(memory.ImageBuffer, nullptr);

  for (std::uint32_t size : {1000u, 0x80000u + 4u, kMaxFlashSize + 512u, 0xFFFFFE00u}) {
    SCOPED_TRACE(size);
    view.messages.clear();
    fake.reportedSize = size;
    EXPECT_FALSE(commands.ReadVersion());
    EXPECT_EQ(memory.ImageBuffer, nullptr);
    ASSERT_EQ(view.messages.size(), 1u);
    EXPECT_NE(view.messages[0].text.find(std::to_string(size)), std::string::npos);
    EXPECT_EQ(view.messages[0].caption, "Error");
  }
}

TEST_F(BootloaderCommandsTest, EraseWaitsForALateReplyAndFillsTheBar) {
  fake.receiveFaults[kCmdEraseFlash] = std::deque<Fault>(30, Fault{kTimedOut, true});
  ASSERT_TRUE(commands.EraseFlash());
  EXPECT_EQ(eraseOk, 1);
  EXPECT_EQ(view.progress, 100);
  EXPECT_EQ(fake.RequestsOf(kCmdEraseFlash).size(), 1u);  // sent once, then only polled
  EXPECT_EQ(view.progressHistory[30], 30);                // 0, then one step per poll
  EXPECT_EQ(view.processed, 30);
  EXPECT_EQ(fake.discards, 0);  // polling must not throw the awaited reply away
}

TEST_F(BootloaderCommandsTest, EraseGivesUpAfter95Polls) {
  eraseOk = 1;
  fake.receiveFaults[kCmdEraseFlash] = std::deque<Fault>(95, Fault{kTimedOut, true});
  EXPECT_FALSE(commands.EraseFlash());
  EXPECT_EQ(eraseOk, 0);
  EXPECT_EQ(view.progress, 95);
  EXPECT_EQ(Boxes(), std::vector<std::string>{"Erase Flash Receive Error"});

  fake.sendFailures[kCmdEraseFlash] = 1;
  EXPECT_FALSE(commands.EraseFlash());
  EXPECT_EQ(Boxes().back(), "Erase Flash Send Error");
}

TEST_F(BootloaderCommandsTest, ProgramBlockPicksTheBlankCommandOnlyForAllOnes) {
  Bytes block = Block(0xFF);
  ASSERT_TRUE(commands.ProgramBlock(kBlock1, block));
  block[4 * 127 + 3] = 0xFE;
  ASSERT_TRUE(commands.ProgramBlock(kBlock1, block));
  EXPECT_EQ(fake.programCommands,
            (std::vector<std::uint16_t>{kCmdProgramBlankBlock, kCmdProgramBlock}));

  const Bytes& request = fake.requests.back();
  ASSERT_EQ(request.size(), 8u + 512u);
  EXPECT_EQ(Bytes(request.begin(), request.begin() + 8),
            Bytes({0x02, 0x00, 0x80, 0x00, 0x00, 0x02, 0x00, 0x9D}));
  EXPECT_EQ(Bytes(request.begin() + 8, request.end()), block);
}

TEST_F(BootloaderCommandsTest, ProgramBlockCountsEveryFailedAttempt) {
  retryCount = 7;  // goes on from the last verify pass
  fake.receiveFaults[kCmdProgramBlock] = {{kChecksumError, false}, {kTimedOut, false}};
  ASSERT_TRUE(commands.ProgramBlock(kBlock1, Block(0x12)));
  EXPECT_EQ(retryCount, 9);
  EXPECT_EQ(view.panels[1], "9");
  EXPECT_EQ(fake.programWrites[kBlock1], 3);
  EXPECT_TRUE(view.messages.empty());
}

TEST_F(BootloaderCommandsTest, ProgramBlockIsNotAcknowledgedByEmptyFrames) {
  // Regression: 199 empty replies used to end the loop and still report the block written.
  fake.receiveFaults[kCmdProgramBlock] = std::deque<Fault>(199, Fault{0, false});
  EXPECT_FALSE(commands.ProgramBlock(kBlock1, Block(0x12)));
  EXPECT_EQ(Boxes(), std::vector<std::string>{"Receive Program Error Addr: 0x9D000200, Result: 0"});
  EXPECT_EQ(retryCount, 199);
}

// Regression: a dead or babbling line ran through every attempt of every block (minutes per
// step); now the link is given up after a run of failed replies, saying what the line did, and
// nothing more is sent.
TEST_F(BootloaderCommandsTest, LinkIsGivenUpAfterARunOfFailedRepliesSayingWhatTheLineDid) {
  struct Case {
    int result;
    const char* reason;
  };
  for (const Case& c : {Case{kTimedOut, "No reply from the bootloader to 20 requests in a row"},
                        Case{kFrameTooLong, "The line never goes quiet"},
                        Case{kChecksumError, "damaged replies"}}) {
    SCOPED_TRACE(c.reason);
    fake.lostReason.clear();
    fake.requests.clear();
    view.messages.clear();
    retryCount = 0;
    fake.receiveFaults[kCmdProgramBlock] = std::deque<Fault>(199, Fault{c.result, false});
    EXPECT_FALSE(commands.ProgramBlock(kBlock1, Block(0x12)));
    EXPECT_EQ(fake.requests.size(), std::size_t{kFailedRepliesBeforeLost});
    EXPECT_EQ(retryCount, kFailedRepliesBeforeLost);
    ASSERT_EQ(view.messages.size(), 1u);
    const std::string& text = view.messages[0].text;
    EXPECT_EQ(text.substr(0, text.find('\n')),
              "Receive Program Error Addr: 0x9D000200, Result: " + std::to_string(c.result));
    EXPECT_NE(text.find(c.reason), std::string::npos) << text;
    EXPECT_FALSE(commands.VerifyBlock(kBlock1, Block(0x12)));
    EXPECT_EQ(fake.requests.size(), std::size_t{kFailedRepliesBeforeLost});
  }
}

TEST_F(BootloaderCommandsTest, AValidReplyStartsTheRunOfFailuresAgain) {
  fake.receiveFaults[kCmdProgramBlock] =
      std::deque<Fault>(kFailedRepliesBeforeLost - 1, Fault{kTimedOut, false});
  EXPECT_TRUE(commands.ProgramBlock(kBlock1, Block(0x12)));
  fake.receiveFaults[kCmdProgramBlock] =
      std::deque<Fault>(kFailedRepliesBeforeLost - 1, Fault{kTimedOut, false});
  EXPECT_TRUE(commands.ProgramBlock(kBlock1 + 512, Block(0x34)));
  EXPECT_TRUE(fake.lostReason.empty());
}

TEST_F(BootloaderCommandsTest, AStopEndsTheRunBeforeTheNextRequest) {
  int asked = 0;
  commands.SetStopCheck([&] { return ++asked > 2 ? std::string("Stopped by SIGINT.") : ""; });
  EXPECT_TRUE(commands.ProgramBlock(kBlock1, Block(0x12)));
  EXPECT_TRUE(commands.ProgramBlock(kBlock1 + 512, Block(0x12)));
  EXPECT_FALSE(commands.ProgramBlock(kBlock1 + 1024, Block(0x12)));
  EXPECT_EQ(fake.requests.size(), 2u);
  ASSERT_EQ(view.messages.size(), 1u);
  EXPECT_EQ(view.messages[0].text, "Send Program Error Addr: 0x9D000600\nStopped by SIGINT.");
  EXPECT_FALSE(commands.EraseFlash());
  EXPECT_EQ(fake.requests.size(), 2u);
}

TEST_F(BootloaderCommandsTest, ProgramBlockDoesNotRetryAFailedSend) {
  fake.sendFailures[kCmdProgramBlock] = 1;
  EXPECT_FALSE(commands.ProgramBlock(kBlock1, Block(0x12)));
  EXPECT_EQ(Boxes(), std::vector<std::string>{"Send Program Error Addr: 0x9D000200"});
  EXPECT_EQ(view.messages[0].caption, "Error");
  EXPECT_TRUE(fake.requests.empty());
}

TEST_F(BootloaderCommandsTest, EraseStopsPollingOnceTheDeviceHasGoneAway) {
  // Guards against waiting out all 95 polls (9.5 s) for a pulled adapter.
  const std::string gone = "The serial device /dev/ttyUSB0 went away (adapter unplugged?).";
  fake.onRequest = [&](const Bytes&) { fake.lostReason = gone; };
  fake.receiveFaults[kCmdEraseFlash] = std::deque<Fault>(95, Fault{kReadFailed, false});
  EXPECT_FALSE(commands.EraseFlash());
  EXPECT_TRUE(view.pauses.empty());
  ASSERT_EQ(view.messages.size(), 1u);
  EXPECT_EQ(view.messages[0].text, "Erase Flash Receive Error\n" + gone);
}

TEST_F(BootloaderCommandsTest, ALostDeviceIsNamedUnderTheMessage) {
  fake.sendFailures[kCmdProgramBlock] = 1;
  fake.lostReason = "The serial device /dev/ttyUSB0 went away (adapter unplugged?).";
  EXPECT_FALSE(commands.ProgramBlock(kBlock1, Block(0x12)));
  ASSERT_EQ(view.messages.size(), 1u);
  EXPECT_EQ(view.messages[0].text,
            "Send Program Error Addr: 0x9D000200\n"
            "The serial device /dev/ttyUSB0 went away (adapter unplugged?).");
}

TEST_F(BootloaderCommandsTest, RetryAfterACutReplyIsNotAnsweredByItsRest) {
  // Noise ends a receive with -4 while the rest of the reply is still coming.
  fake.receiveFaults[kCmdProgramBlock] = {{kChecksumError, true}, {kChecksumError, true}};
  ASSERT_TRUE(commands.ProgramBlock(kBlock1, Block(0x12)));
  ASSERT_TRUE(commands.ProgramBlock(kBlock1 + 512, Block(0x34)));
  ASSERT_TRUE(commands.VerifyBlock(kBlock1, Block(0x12)));
  EXPECT_EQ(fake.staleAnswers, 0);
  EXPECT_EQ(fake.discards, 2);
}

// The version read asks again for a reply that came too late, and the late reply answers
// neither that request nor the next command.
TEST_F(BootloaderCommandsTest, ALateReplyDoesNotAnswerTheNextCommand) {
  fake.receiveFaults[kCmdReadVersion] = {{kTimedOut, true}};
  EXPECT_TRUE(commands.ReadVersion());
  EXPECT_EQ(fake.RequestsOf(kCmdReadVersion).size(), 2u);
  fake.finishStatus = kFinishNotErased;
  EXPECT_EQ(commands.FinishProgram(), kFinishNotErased);
  EXPECT_EQ(fake.staleAnswers, 0);
}

TEST_F(BootloaderCommandsTest, VerifyBlockComparesEveryWordWithoutMessages) {
  const Bytes block = Block(0x5A);
  ASSERT_TRUE(commands.ProgramBlock(kBlock1, block));
  EXPECT_TRUE(commands.VerifyBlock(kBlock1, block));
  const Bytes& read = fake.requests.back();
  EXPECT_EQ(read, Bytes({0x01, 0x00, 0x80, 0x00, 0x00, 0x02, 0x00, 0x9D}));

  fake.wrongReadBacks[kBlock1] = 1;  // word 5 differs
  EXPECT_FALSE(commands.VerifyBlock(kBlock1, block));
  EXPECT_TRUE(view.messages.empty());
}

TEST_F(BootloaderCommandsTest, VerifyBlockRefusesAShortReadReply) {
  // Regression: a reply missing its last word compared that word as zero.
  const Bytes zeros(512, 0x00);
  ASSERT_TRUE(commands.ProgramBlock(kBlock1, zeros));
  fake.replyPayloadSize[kCmdReadMemory] = 8 + 4 * 127;
  EXPECT_FALSE(commands.VerifyBlock(kBlock1, zeros));
  fake.replyPayloadSize[kCmdReadMemory] = 8 + 4 * 128;
  EXPECT_TRUE(commands.VerifyBlock(kBlock1, zeros));
}

TEST_F(BootloaderCommandsTest, VerifyBlockRetriesLostReplies) {
  const Bytes block = Block(0x33);
  ASSERT_TRUE(commands.ProgramBlock(kBlock1, block));
  fake.receiveFaults[kCmdReadMemory] =
      std::deque<Fault>(kFailedRepliesBeforeLost - 1, Fault{kTimedOut, false});
  EXPECT_TRUE(commands.VerifyBlock(kBlock1, block));
  EXPECT_EQ(fake.RequestsOf(kCmdReadMemory).size(), std::size_t{kFailedRepliesBeforeLost});
  EXPECT_EQ(retryCount, 0);  // the callers count verify failures
}

TEST_F(BootloaderCommandsTest, FinishReportsUsedLengthAndStatus) {
  memory.ImageEnd = image::kFlashBase + 0x1000;
  EXPECT_EQ(commands.FinishProgram(), 0);
  EXPECT_EQ(fake.requests.back(), Bytes({0x08, 0x00, 0x04, 0x00, 0x00, 0x10, 0x00, 0x00}));
  fake.finishStatus = kFinishNotErased;
  EXPECT_EQ(commands.FinishProgram(), kFinishNotErased);
  fake.finishStatus = kFinishNotProgrammed;
  EXPECT_EQ(commands.FinishProgram(), kFinishNotProgrammed);
  fake.finishStatus = 0x1234;
  EXPECT_EQ(commands.FinishProgram(), 0x1234);
  EXPECT_TRUE(view.messages.empty());
}

// The same request each time: a lost reply is asked for again rather than failing a load
// whose flash is complete.
TEST_F(BootloaderCommandsTest, FinishAsksAgainForALostReply) {
  fake.receiveFaults[kCmdFinishProgram] = {{kChecksumError, false}, {kTimedOut, false}};
  EXPECT_EQ(commands.FinishProgram(), 0);
  EXPECT_EQ(fake.RequestsOf(kCmdFinishProgram).size(), 3u);
  fake.receiveFaults[kCmdFinishProgram] =
      std::deque<Fault>(kFailedRepliesBeforeLost, Fault{kTimedOut, false});
  EXPECT_EQ(commands.FinishProgram(), kTimedOut);
  EXPECT_EQ(fake.RequestsOf(kCmdFinishProgram).size(), 3u + kFailedRepliesBeforeLost);
}

TEST_F(BootloaderCommandsTest, FinishWithoutStoredDataReportsLengthZero) {
  memory.ImageEnd = 0;
  commands.FinishProgram();
  EXPECT_EQ(fake.finishLength, 0u);  // not 0 - 0x1D000000 wrapped
}

TEST_F(BootloaderCommandsTest, FinishTreatsAReplyWithoutStatusAsFailedReceive) {
  fake.replyPayloadSize[kCmdFinishProgram] = 1;
  EXPECT_LT(commands.FinishProgram(), 0);
}

TEST_F(BootloaderCommandsTest, StartApplicationSendsOnlyTheRequest) {
  EXPECT_EQ(commands.StartApplication(), 4);
  EXPECT_EQ(fake.requests, std::vector<Bytes>{Bytes({0x00, 0x00, 0x00, 0x00})});
  EXPECT_EQ(fake.started, 1);
  fake.sendFailures[kCmdStartApplication] = 1;
  EXPECT_EQ(commands.StartApplication(), kReadFailed);
}

}  // namespace
}  // namespace vestrel::protocol
