#include "protocol/bootloader_commands.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include "protocol/frame.h"

namespace vestrel::protocol {
namespace {

constexpr std::size_t kReadReplyHeaderSize = 8;
constexpr std::size_t kReadReplySpare = 24;    // reply capacity beyond the data words
constexpr std::size_t kVersionFieldsSize = 6;  // flash size, minor, major
constexpr std::size_t kStatusFieldSize = 2;
// The time a request gives its target beyond the link's 100 ms for the first reply byte.
constexpr std::chrono::milliseconds kCommandPause{5};
constexpr unsigned kErasePollPause = 100;

void Put16(std::vector<std::uint8_t>& out, std::uint32_t value) {
  out.push_back(static_cast<std::uint8_t>(value));
  out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void Put32(std::vector<std::uint8_t>& out, std::uint32_t value) {
  Put16(out, value & 0xFFFF);
  Put16(out, value >> 16);
}

std::uint32_t Get32(std::span<const std::uint8_t> bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
         static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

// A request of the two 16-bit fields, followed by the address when the command has one.
std::vector<std::uint8_t> Request(std::uint16_t command, std::uint32_t second) {
  std::vector<std::uint8_t> payload;
  Put16(payload, command);
  Put16(payload, second & 0xFFFF);
  return payload;
}

// Payload bytes of a received frame: its count less the checksum byte.
std::size_t PayloadSize(int result) {
  return result > 0 ? static_cast<std::size_t>(result) - 1 : 0;
}

std::string AddressText(const char* format, std::uint32_t address) {
  char text[64];
  std::snprintf(text, sizeof text, format, static_cast<unsigned>(address));
  return text;
}

}  // namespace

bool BootloaderCommands::Stopped() {
  if (stopCheck_ && !LinkLost()) {
    if (const std::string why = stopCheck_(); !why.empty())
      channel_.DeclareLost(ErrorClass::Stopped, why);
  }
  return LinkLost();
}

int BootloaderCommands::Send(std::span<const std::uint8_t> payload) {
  if (Stopped()) return kReadFailed;
  if (receiveFailed_) {
    channel_.DiscardStaleInput();
    receiveFailed_ = false;
  }
  return channel_.SendFrame(payload);
}

int BootloaderCommands::Receive(std::span<std::uint8_t> buffer, std::size_t minimumPayload,
                                bool counts) {
  int result = channel_.ReceiveFrame(buffer);
  // A reply too short for the fields the command needs counts as a failed receive.
  if (result >= 0 && PayloadSize(result) < minimumPayload) result = kReadFailed;
  receiveFailed_ = result < 0;
  if (result >= 0)
    failedReplies_ = 0;
  else if (counts)
    NoteFailedReply(result);
  return result;
}

void BootloaderCommands::NoteFailedReply(int result) {
  if (LinkLost()) return;  // the link has already said why
  if (failedReplies_ == 0) {
    onlyTimeouts_ = true;
    tooLong_ = false;
  }
  ++failedReplies_;
  onlyTimeouts_ = onlyTimeouts_ && result == kTimedOut;
  tooLong_ = tooLong_ || result == kFrameTooLong;
  if (failedReplies_ < kFailedRepliesBeforeLost) return;
  failedReplies_ = 0;
  const std::string inARow = std::to_string(kFailedRepliesBeforeLost) + " requests in a row";
  if (onlyTimeouts_) {
    channel_.DeclareLost(ErrorClass::LinkLost,
                         "No reply from the bootloader to " + inARow + ": the link is given up.");
  } else if (tooLong_) {
    channel_.DeclareLost(ErrorClass::LineNoisy, "The line never goes quiet: " + inARow +
                                                    " got no valid reply; the link is given up.");
  } else {
    channel_.DeclareLost(ErrorClass::LineNoisy,
                         inARow +
                             " got no valid reply (damaged replies: noise on the line, or "
                             "a wrong baud rate?); the link is given up.");
  }
}

void BootloaderCommands::ShowError(ErrorClass error, const std::string& text) {
  const std::string lost = channel_.LinkLostReason();
  // A lost link is the cause of whatever failed after it.
  lastFailure_ = {lost.empty() ? error : channel_.LinkLostClass(),
                  lost.empty() ? text : text + "\n" + lost};
  view_.ShowMessage(lastFailure_.message, "Error");
  if (observer_ != nullptr) observer_->OnErrorShown(lastFailure_.message);
}

void BootloaderCommands::CountFailedAttempt(std::uint32_t address) {
  ++retryCount_;
  view_.SetStatusPanel(1, std::to_string(retryCount_));
  if (observer_ != nullptr) observer_->OnFailedAttempt(address, retryCount_);
}

bool BootloaderCommands::ReadVersion() {
  memory_.ImageBuffer.reset();
  version_.clear();
  view_.SetVersionText("BL Version: N/A");
  failedReplies_ = 0;  // a new connection
  const auto request = Request(kCmdReadVersion, 2);
  std::array<std::uint8_t, 16> reply{};
  int result = kReadFailed;
  // A lost reply is asked for again, as the other transactions do.
  for (int attempt = 0; attempt < kFailedRepliesBeforeLost && result < 0; ++attempt) {
    if (Send(request) < 0) {
      ShowError(ErrorClass::LinkLost, "Read Version Send Error");
      return false;
    }
    channel_.ExtendNextReplyWait(kCommandPause);
    result = Receive(reply, kVersionFieldsSize);
    if (LinkLost()) break;
  }
  if (result < 0) {
    ShowError(ErrorClass::LinkLost, "Read Version Receive Error");
    return false;
  }
  char version[16];
  std::snprintf(version, sizeof version, "v%02u.%02u", unsigned{reply[5]}, unsigned{reply[4]});
  view_.SetVersionText(std::string("BL Version: ") + version);
  version_ = version;

  const std::uint32_t size = Get32(reply);
  // The image is walked in whole blocks inside the program flash window: refuse anything else
  // before allocating.
  if (size % image::kBlockSize != 0 || size > kMaxFlashSize) {
    const std::string reason = size > kMaxFlashSize ? "exceeds the 16 MiB program flash window"
                                                    : "is not a whole number of 512-byte blocks";
    ShowError(ErrorClass::BadReply,
              "Read Version Error: flash size " + std::to_string(size) + " bytes " + reason);
    return false;
  }
  memory_.ImageSize = size;
  memory_.ImageBuffer.reset(new (std::nothrow) std::uint8_t[size]);
  if (!memory_.ImageBuffer) {
    ShowError(ErrorClass::Internal, "Memory Alloc Error");
    return false;
  }
  return true;
}

void BootloaderCommands::SetEraseProgress(int percent) {
  view_.SetProgress(percent);
  if (observer_ != nullptr) observer_->OnEraseProgress(percent);
}

bool BootloaderCommands::EraseFlash() {
  eraseOk_ = 0;
  if (Send(Request(kCmdEraseFlash, 2)) < 0) {
    ShowError(ErrorClass::LinkLost, "Erase Flash Send Error");
    return false;
  }
  SetEraseProgress(0);
  // The request goes out once; the tries only wait for the reply while the flash is erased, so
  // they count as one failed reply together. A lost link (a device gone, a stop) ends them.
  std::array<std::uint8_t, 16> reply{};
  bool answered = false;
  int result = kTimedOut;
  for (int tries = 0; tries < kEraseTries && !answered && !Stopped(); ++tries) {
    view_.Pause(kErasePollPause);
    result = Receive(reply, 0, false);
    answered = result >= 0;
    SetEraseProgress(view_.Progress() + 1);
    if (!answered) view_.ProcessMessages();
  }
  if (!answered) {
    NoteFailedReply(result);
    ShowError(ErrorClass::EraseFailed, "Erase Flash Receive Error");
    return false;
  }
  SetEraseProgress(100);
  eraseOk_ = 1;
  return true;
}

bool BootloaderCommands::ProgramBlock(std::uint32_t address, std::span<const std::uint8_t> words) {
  const auto data = words.first(words.size() / 4 * 4);
  const bool blank =
      std::all_of(data.begin(), data.end(), [](std::uint8_t b) { return b == 0xFF; });
  auto request = Request(blank ? kCmdProgramBlankBlock : kCmdProgramBlock,
                         static_cast<std::uint32_t>(data.size() / 4));
  Put32(request, address);
  request.insert(request.end(), data.begin(), data.end());

  int result = kReadFailed;
  for (int attempt = 0; attempt < kProgramAttempts; ++attempt) {
    if (Send(request) < 0) {
      ShowError(ErrorClass::LinkLost, AddressText("Send Program Error Addr: 0x%08X", address));
      return false;
    }
    channel_.ExtendNextReplyWait(kCommandPause);
    std::array<std::uint8_t, 16> reply{};
    result = Receive(reply);
    if (result > 0) return true;  // an empty frame acknowledges nothing
    CountFailedAttempt(address);
    if (LinkLost()) break;
  }
  char text[96];
  std::snprintf(text, sizeof text, "Receive Program Error Addr: 0x%08X, Result: %d",
                static_cast<unsigned>(address), result);
  ShowError(ErrorClass::ProgramFailed, text);
  return false;
}

bool BootloaderCommands::VerifyBlock(std::uint32_t address, std::span<const std::uint8_t> words,
                                     std::chrono::milliseconds replyWait) {
  const std::size_t dataSize = words.size() / 4 * 4;
  auto request = Request(kCmdReadMemory, static_cast<std::uint32_t>(dataSize / 4));
  Put32(request, address);

  std::vector<std::uint8_t> reply(dataSize + kReadReplySpare);
  int result = kReadFailed;
  for (int attempt = 0; attempt < kVerifyAttempts && result < 0 && !LinkLost(); ++attempt) {
    if (Send(request) < 0) return false;
    channel_.ExtendNextReplyWait(replyWait);
    std::fill(reply.begin(), reply.end(), std::uint8_t{0});
    result = Receive(reply);
  }
  // Words that did not arrive must not compare as zero.
  if (PayloadSize(result) < kReadReplyHeaderSize + dataSize) return false;
  return std::equal(words.begin(), words.begin() + static_cast<std::ptrdiff_t>(dataSize),
                    reply.begin() + kReadReplyHeaderSize);
}

int BootloaderCommands::FinishProgram() {
  // No data stored means nothing used, not a length wrapped below the flash base.
  const std::uint32_t end = memory_.ImageEnd;
  const std::uint32_t usedLength = end > image::kFlashBase ? end - image::kFlashBase : 0;
  auto request = Request(kCmdFinishProgram, 4);
  Put32(request, usedLength);
  std::array<std::uint8_t, 32> reply{};
  int result = kReadFailed;
  // The request is the same each time and the bootloader answers every request, so a reply
  // lost on the line is asked for again rather than failing a load whose flash is complete.
  for (int attempt = 0; attempt < kFailedRepliesBeforeLost && result < 0 && !LinkLost();
       ++attempt) {
    Send(request);  // a failed send shows up as a failed receive
    channel_.ExtendNextReplyWait(kCommandPause);
    result = Receive(reply, kStatusFieldSize);
  }
  if (result < 0) return result;
  return reply[0] | reply[1] << 8;
}

int BootloaderCommands::StartApplication() {
  return Send(Request(kCmdStartApplication, 0));
}

}  // namespace vestrel::protocol
