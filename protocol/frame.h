// Frame format on the wire between host and bootloader.
//
// A frame is four start bytes 0x55, the payload with 0x04/0x05/0x55 escaped by 0x05, the
// escaped 8-bit two's-complement checksum of the payload, and the end byte 0x04.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace vestrel::protocol {

inline constexpr std::uint8_t kStartByte = 0x55;
inline constexpr std::uint8_t kEndByte = 0x04;
inline constexpr std::uint8_t kEscapeByte = 0x05;
inline constexpr int kStartByteCount = 4;

// Frame results shared by the decoder and the serial link: a count >= 0 on success.
inline constexpr int kReadFailed = -1;
inline constexpr int kTimedOut = -2;
inline constexpr int kFrameTooLong = -3;
inline constexpr int kChecksumError = -4;

// True for the byte values that must be preceded by an escape byte on the wire.
constexpr bool NeedsEscape(std::uint8_t value) {
  return value == kStartByte || value == kEndByte || value == kEscapeByte;
}

// Two's complement of the payload sum: payload plus checksum sum to 0 modulo 256.
std::uint8_t FrameChecksum(std::span<const std::uint8_t> payload);

// The bytes to send for a payload: start bytes, escaped payload, escaped checksum, end byte.
std::vector<std::uint8_t> EncodeFrame(std::span<const std::uint8_t> payload);

// Turns received bytes, fed one at a time, into a reply whose checksum has been tested.
// Stored bytes include the checksum byte. Any number of start bytes may precede a frame; each
// one restarts it. Call Reset() before feeding the next frame.
class FrameDecoder {
 public:
  explicit FrameDecoder(std::span<std::uint8_t> buffer) : buffer_(buffer) {}

  // Empty while more bytes are needed; otherwise the final result: the stored count (payload
  // plus checksum byte), kFrameTooLong or kChecksumError.
  std::optional<int> Feed(std::uint8_t byte);

  void Reset();

 private:
  std::span<std::uint8_t> buffer_;
  std::size_t count_ = 0;
  std::uint8_t sum_ = 0xFF;  // a frame without a start byte is summed from 0xFF
  bool escaped_ = false;
};

}  // namespace vestrel::protocol
