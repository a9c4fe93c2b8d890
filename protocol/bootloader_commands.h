// The bootloader's commands as transactions: build the request, send it, wait, read and check
// the reply, retry where the command retries, and report.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "image/program_memory.h"
#include "protocol/error_class.h"
#include "protocol/frame_channel.h"
#include "protocol/loader_view.h"

namespace vestrel::protocol {

// Command codes of the request payloads.
inline constexpr std::uint16_t kCmdStartApplication = 0x0000;
inline constexpr std::uint16_t kCmdReadMemory = 0x0001;
inline constexpr std::uint16_t kCmdProgramBlock = 0x0002;
inline constexpr std::uint16_t kCmdProgramBlankBlock = 0x0022;
inline constexpr std::uint16_t kCmdEraseFlash = 0x0003;
inline constexpr std::uint16_t kCmdFinishProgram = 0x0008;
inline constexpr std::uint16_t kCmdReadVersion = 0x0009;

// Status words of the finish reply; any other value is success.
inline constexpr int kFinishNotErased = 0x0045;      // 'E'
inline constexpr int kFinishNotProgrammed = 0x0047;  // 'G'

// The largest flash size accepted from the bootloader: the 16 MiB program flash window.
inline constexpr std::uint32_t kMaxFlashSize = 16u * 1024u * 1024u;

inline constexpr int kProgramAttempts = 199;
inline constexpr int kVerifyAttempts = 200;
inline constexpr int kEraseTries = 95;
// Requests in a row without a valid reply after which the link counts as lost, so that a dead
// or babbling line ends any step within seconds (at most about 15 s at 115200 baud, where each
// attempt on a babbling line costs a full receive and half a second of waiting for quiet) instead
// of running through every attempt of every block. A lost reply (read version, finish) is asked for
// again up to this many times.
inline constexpr int kFailedRepliesBeforeLost = 20;

// What the transactions report beyond their own boxes, for the loader's events.
class CommandObserver {
 public:
  virtual ~CommandObserver() = default;
  virtual void OnEraseProgress(int percent) = 0;
  // A program block's attempt whose reply failed; `retryCount` is the count the status bar shows.
  virtual void OnFailedAttempt(std::uint32_t address, std::int32_t retryCount) = 0;
  // An error box was shown with this text and the caption "Error".
  virtual void OnErrorShown(const std::string& text) = 0;
};

// The transactions act on the loader's state, which the caller owns: the image (ReadVersion
// replaces its buffer), the EraseOk flag and the RetryCount counter. The references must
// outlive this object. Transactions that show their own error boxes do so through the view with
// the caption "Error"; every pause goes through LoaderView::Pause.
//
// A stale reply never answers a new request: after any failed receive, the next request is
// preceded by FrameChannel::DiscardStaleInput.
//
// After kFailedRepliesBeforeLost failed replies in a row the commands declare the link lost
// (FrameChannel::DeclareLost, with what the line did), and every transaction fails at once
// from then on: no further attempts are made on a dead line.
class BootloaderCommands {
 public:
  BootloaderCommands(FrameChannel& channel, LoaderView& view, image::ProgramMemory& memory,
                     std::uint8_t& eraseOk, std::int32_t& retryCount)
      : channel_(channel),
        view_(view),
        memory_(memory),
        eraseOk_(eraseOk),
        retryCount_(retryCount) {}

  // Reads the bootloader version into the version text and allocates a fresh image of the flash
  // size that the bootloader reports. A size that is not whole 512-byte blocks or exceeds the
  // program flash window is refused: the image then stays absent.
  bool ReadVersion();

  // Sends the erase request once and polls for its reply while moving the progress bar.
  bool EraseFlash();

  // Writes `words` (Count little-endian 32-bit words, 4 x Count bytes) at the virtual `address`.
  // Only a reply of at least one byte acknowledges the block.
  bool ProgramBlock(std::uint32_t address, std::span<const std::uint8_t> words);

  // Reads back 4 x Count bytes at `address` and compares them with `words`. Shows nothing.
  // `replyWait` gives the target that much more time for its first reply byte.
  bool VerifyBlock(std::uint32_t address, std::span<const std::uint8_t> words,
                   std::chrono::milliseconds replyWait = {});

  // Reports the used length of the image; a lost reply is asked for again. Returns a negative
  // link result (kReadFailed for a reply too short to hold a status word) or the 16-bit status
  // of the reply.
  int FinishProgram();

  // Sends the start request; no reply is read. Returns the send result (4 or kReadFailed).
  int StartApplication();

  // Asked before every request: a non-empty answer (why, e.g. "Stopped by SIGINT.") declares
  // the link lost, so that a run stops between two requests.
  void SetStopCheck(std::function<std::string()> check) { stopCheck_ = std::move(check); }
  void SetObserver(CommandObserver* observer) { observer_ = observer; }

  bool LinkLost() const { return !channel_.LinkLostReason().empty(); }
  // The version of the last successful version read ("v01.03"), or "" since a failed one.
  const std::string& Version() const { return version_; }
  // The class and box text of the last transaction that showed its own error box.
  const Failure& LastFailure() const { return lastFailure_; }

 private:
  int Send(std::span<const std::uint8_t> payload);
  // A receive that counts towards the budget of failed replies unless told not to (the erase
  // polls, which wait for one reply many times).
  // A reply shorter than `minimumPayload` counts as failed (kReadFailed).
  int Receive(std::span<std::uint8_t> buffer, std::size_t minimumPayload = 0, bool counts = true);
  void NoteFailedReply(int result);
  // Asks the stop check; true when the link is lost (by a stop or before).
  bool Stopped();
  void ShowError(ErrorClass error, const std::string& text);
  void CountFailedAttempt(std::uint32_t address);
  void SetEraseProgress(int percent);

  FrameChannel& channel_;
  LoaderView& view_;
  image::ProgramMemory& memory_;
  std::uint8_t& eraseOk_;
  std::int32_t& retryCount_;
  bool receiveFailed_ = false;  // the last receive failed: the rest of its reply may still come
  int failedReplies_ = 0;       // requests in a row without a valid reply
  bool onlyTimeouts_ = true;    // ... and whether nothing at all came for any of them
  bool tooLong_ = false;        // ... and whether one ended in bytes without end
  std::function<std::string()> stopCheck_;
  Failure lastFailure_;
  CommandObserver* observer_ = nullptr;
  std::string version_;
};

}  // namespace vestrel::protocol
