// The frame-level exchange that the bootloader commands need from a link.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace vestrel::protocol {

class FrameChannel {
 public:
  virtual ~FrameChannel() = default;

  // Writes the payload as one frame. Returns the payload length, or kReadFailed (-1).
  virtual int SendFrame(std::span<const std::uint8_t> payload) = 0;

  // Reads one reply frame into `buffer` (its size is the capacity). Returns the stored count
  // (payload plus checksum byte) or kReadFailed, kTimedOut, kFrameTooLong, kChecksumError.
  virtual int ReceiveFrame(std::span<std::uint8_t> buffer) = 0;

  // Discards input until the line has been quiet for a few character times (bounded), so that
  // the rest of a reply whose receive failed part-way cannot answer the next request.
  virtual void DiscardStaleInput() = 0;

  // Why every exchange now fails at once: non-empty once the device has gone away (an adapter
  // pulled out), so that error messages can say so; empty otherwise.
  virtual std::string LinkLostReason() const { return {}; }
};

}  // namespace vestrel::protocol
