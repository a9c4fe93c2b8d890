// Turns the bytes that reach the simulated bootloader into sync probes, request frames and
// violations of the frame format.
//
// Telling a sync probe from the start of a frame: both begin with 0x55. The host sends a probe
// as one lone 0x55 and then waits up to 100 ms for the answer; a frame's four start bytes are one
// write and its payload follows at once. So a run of start bytes outside a frame is a probe when
// it is exactly one byte long and no further byte follows within the quiet time (a few
// milliseconds, plus one byte time when the wire is paced). Any other run followed by a non-start
// byte opens a frame; a run of two or more start bytes followed by silence is a frame whose rest
// is late and ends as an incomplete frame after the frame gap.
//
// Frames are checked strictly: exactly four start bytes, escapes only before 0x04/0x05/0x55, a
// checksum byte present and correct, no start byte inside the payload, no silence of the frame
// gap or longer inside a frame. A frame that breaks a rule yields a violation, not a request.
//
// Times are durations on one monotonic clock, chosen by the caller; nothing here sleeps.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vestrel::sim {

using SimDuration = std::chrono::nanoseconds;

struct ReceiverConfig {
  SimDuration probeQuiet = std::chrono::milliseconds(3);
  SimDuration frameGap = std::chrono::milliseconds(100);
  // Largest stored frame (payload plus checksum): a program request of 65535 words.
  std::size_t maxStored = 8 + 4 * 0xFFFF + 1;
};

struct ReceiverEvent {
  enum class Kind { kProbe, kRequest, kViolation };
  Kind kind;
  std::vector<std::uint8_t> payload;  // kRequest: the payload without the checksum byte
  std::string detail;                 // kViolation: what was wrong
};

class RequestReceiver {
 public:
  explicit RequestReceiver(const ReceiverConfig& config) : config_(config) {}

  // Feeds one byte that arrived at `time`; first settles any silence that ended before it.
  std::vector<ReceiverEvent> Feed(std::uint8_t byte, SimDuration time);

  // Settles the silence up to `now`: a lone start byte becomes a probe, a stalled frame a
  // violation. Call it when Deadline() has passed.
  std::vector<ReceiverEvent> Expire(SimDuration now);

  // When the current silence will mean something, if anything is pending.
  std::optional<SimDuration> Deadline() const;

  // Forgets any partial input (used when the line is reset).
  void Reset();

 private:
  enum class State { kIdle, kStartRun, kFrame, kDiscard };

  void FeedFrameByte(std::uint8_t byte, std::vector<ReceiverEvent>& events);
  void EndFrame(std::vector<ReceiverEvent>& events);
  void FlushStray(std::vector<ReceiverEvent>& events);
  void BeginStartRun();
  void Violation(std::vector<ReceiverEvent>& events, std::string detail);

  ReceiverConfig config_;
  State state_ = State::kIdle;
  SimDuration lastTime_{0};
  std::size_t strayCount_ = 0;
  int startCount_ = 0;
  std::vector<std::uint8_t> stored_;
  bool escaped_ = false;
  std::string frameFault_;  // first rule the current frame broke, reported at its end
};

}  // namespace vestrel::sim
