// The frame-level exchange that the bootloader commands need from a link.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <string>

#include "protocol/error_class.h"

namespace vestrel::protocol {

class FrameChannel {
 public:
  virtual ~FrameChannel() = default;

  // Writes the payload as one frame. Returns the payload length, or kReadFailed (-1).
  virtual int SendFrame(std::span<const std::uint8_t> payload) = 0;

  // Reads one reply frame into `buffer` (its size is the capacity). Returns the stored count
  // (payload plus checksum byte) or kReadFailed, kTimedOut, kFrameTooLong, kChecksumError.
  virtual int ReceiveFrame(std::span<std::uint8_t> buffer) = 0;

  // The next receive waits `extra` longer for its reply's first byte: the time a request gives
  // its target to answer, without a fixed pause before the reply is read.
  virtual void ExtendNextReplyWait(std::chrono::milliseconds extra) { (void)extra; }

  // Discards input until the line has been quiet for a few character times (bounded), so that
  // the rest of a reply whose receive failed part-way cannot answer the next request. After a
  // read that timed out it waits longer, for a reply that comes late.
  virtual void DiscardStaleInput() = 0;

  // Why every exchange now fails at once, so that error messages can say so: non-empty once the
  // link is lost (the device went away, the line stopped taking bytes, or DeclareLost); empty
  // otherwise. It stays until the port is opened again.
  virtual std::string LinkLostReason() const = 0;
  // The class of that loss (LinkLost, LineStalled, Stopped, ...); None while the link holds.
  virtual ErrorClass LinkLostClass() const = 0;

  // Gives the link up: every later send and receive fails at once (kReadFailed) without touching
  // the line, until the port is opened again. The first reason given is the one kept.
  virtual void DeclareLost(ErrorClass error, const std::string& reason) = 0;
};

}  // namespace vestrel::protocol
