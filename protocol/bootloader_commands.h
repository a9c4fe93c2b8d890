// The bootloader's commands as transactions: build the request, send it, wait, read and check
// the reply, retry where the command retries, and report.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "image/program_memory.h"
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

// The transactions act on the loader's state, which the caller owns: the image (ReadVersion
// replaces its buffer), the EraseOk flag and the RetryCount counter. The references must
// outlive this object. Transactions that show their own error boxes do so through the view with
// the caption "Error"; every pause goes through LoaderView::Pause.
//
// A stale reply never answers a new request: after any failed receive, the next request is
// preceded by FrameChannel::DiscardStaleInput.
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
  bool VerifyBlock(std::uint32_t address, std::span<const std::uint8_t> words);

  // Reports the used length of the image. Returns a negative link result (kReadFailed for a
  // reply too short to hold a status word) or the 16-bit status of the reply.
  int FinishProgram();

  // Sends the start request; no reply is read. Returns the send result (4 or kReadFailed).
  int StartApplication();

 private:
  int Send(std::span<const std::uint8_t> payload);
  int Receive(std::span<std::uint8_t> buffer);
  void ShowError(const std::string& text);
  void CountFailedAttempt();

  FrameChannel& channel_;
  LoaderView& view_;
  image::ProgramMemory& memory_;
  std::uint8_t& eraseOk_;
  std::int32_t& retryCount_;
  bool receiveFailed_ = false;  // the last receive failed: the rest of its reply may still come
};

}  // namespace vestrel::protocol
