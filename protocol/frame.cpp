#include "protocol/frame.h"

namespace vestrel::protocol {

std::uint8_t FrameChecksum(std::span<const std::uint8_t> payload) {
  unsigned sum = 0;
  for (std::uint8_t b : payload) sum += b;
  return static_cast<std::uint8_t>(0x100 - (sum & 0xFF));
}

std::vector<std::uint8_t> EncodeFrame(std::span<const std::uint8_t> payload) {
  std::vector<std::uint8_t> wire;
  wire.reserve(payload.size() * 2 + kStartByteCount + 3);
  wire.insert(wire.end(), kStartByteCount, kStartByte);
  auto put = [&wire](std::uint8_t b) {
    if (NeedsEscape(b)) wire.push_back(kEscapeByte);
    wire.push_back(b);
  };
  for (std::uint8_t b : payload) put(b);
  put(FrameChecksum(payload));
  wire.push_back(kEndByte);
  return wire;
}

std::optional<int> FrameDecoder::Feed(std::uint8_t byte) {
  if (!escaped_) {
    if (byte == kStartByte) {
      count_ = 0;
      sum_ = 0;
      return std::nullopt;
    }
    if (byte == kEndByte) {
      if (sum_ != 0) return kChecksumError;
      return static_cast<int>(count_);
    }
    if (byte == kEscapeByte) {
      escaped_ = true;
      return std::nullopt;
    }
  }
  escaped_ = false;
  if (count_ >= buffer_.size()) return kFrameTooLong;
  buffer_[count_++] = byte;
  sum_ = static_cast<std::uint8_t>(sum_ + byte);
  return std::nullopt;
}

void FrameDecoder::Reset() {
  count_ = 0;
  sum_ = 0xFF;
  escaped_ = false;
}

}  // namespace vestrel::protocol
