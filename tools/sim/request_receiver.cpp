#include "tools/sim/request_receiver.h"

#include <cstdio>
#include <numeric>

#include "protocol/frame.h"

namespace vestrel::sim {
namespace {

using protocol::kEndByte;
using protocol::kEscapeByte;
using protocol::kStartByte;
using protocol::kStartByteCount;

std::string HexByte(std::uint8_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", value);
  return text;
}

}  // namespace

std::vector<ReceiverEvent> RequestReceiver::Feed(std::uint8_t byte, SimDuration time) {
  std::vector<ReceiverEvent> events = Expire(time);
  lastTime_ = time;
  switch (state_) {
    case State::kIdle:
      if (byte == kStartByte) {
        FlushStray(events);
        BeginStartRun();
      } else {
        ++strayCount_;
      }
      break;
    case State::kStartRun:
      if (byte == kStartByte) {
        ++startCount_;
        break;
      }
      if (startCount_ != kStartByteCount) {
        frameFault_ = "frame opened by " + std::to_string(startCount_) + " start bytes, expected " +
                      std::to_string(kStartByteCount);
      }
      state_ = State::kFrame;
      FeedFrameByte(byte, events);
      break;
    case State::kFrame:
      FeedFrameByte(byte, events);
      break;
    case State::kDiscard:
      if (escaped_) {
        escaped_ = false;
      } else if (byte == kEscapeByte) {
        escaped_ = true;
      } else if (byte == kEndByte) {
        state_ = State::kIdle;
      } else if (byte == kStartByte) {
        BeginStartRun();
      }
      break;
  }
  return events;
}

std::vector<ReceiverEvent> RequestReceiver::Expire(SimDuration now) {
  std::vector<ReceiverEvent> events;
  const auto deadline = Deadline();
  if (!deadline || now < *deadline) return events;
  switch (state_) {
    case State::kIdle:
      FlushStray(events);
      break;
    case State::kStartRun:
      if (startCount_ == 1) {
        events.push_back({ReceiverEvent::Kind::kProbe, {}, {}});
      } else {
        Violation(events, std::to_string(startCount_) + " start bytes, then silence");
      }
      break;
    case State::kFrame:
      Violation(events, "incomplete frame: " + std::to_string(stored_.size()) +
                            " bytes stored, then silence");
      break;
    case State::kDiscard:
      break;  // the overlong frame was reported when it overflowed
  }
  state_ = State::kIdle;
  return events;
}

std::optional<SimDuration> RequestReceiver::Deadline() const {
  switch (state_) {
    case State::kIdle:
      if (strayCount_ == 0) return std::nullopt;
      return lastTime_ + config_.probeQuiet;
    case State::kStartRun:
      return lastTime_ + (startCount_ == 1 ? config_.probeQuiet : config_.frameGap);
    case State::kFrame:
    case State::kDiscard:
      return lastTime_ + config_.frameGap;
  }
  return std::nullopt;
}

void RequestReceiver::Reset() {
  state_ = State::kIdle;
  strayCount_ = 0;
  stored_.clear();
  escaped_ = false;
  frameFault_.clear();
}

void RequestReceiver::FeedFrameByte(std::uint8_t byte, std::vector<ReceiverEvent>& events) {
  if (escaped_) {
    escaped_ = false;
    if (!protocol::NeedsEscape(byte) && frameFault_.empty()) {
      frameFault_ = "escape byte before " + HexByte(byte) + ", which needs none";
    }
  } else if (byte == kStartByte) {
    Violation(events, "start byte inside a frame after " + std::to_string(stored_.size()) +
                          " bytes; frame restarted");
    BeginStartRun();
    return;
  } else if (byte == kEndByte) {
    EndFrame(events);
    return;
  } else if (byte == kEscapeByte) {
    escaped_ = true;
    return;
  }
  if (stored_.size() >= config_.maxStored) {
    Violation(events, "frame longer than " + std::to_string(config_.maxStored) + " bytes");
    state_ = State::kDiscard;
    return;
  }
  stored_.push_back(byte);
}

void RequestReceiver::EndFrame(std::vector<ReceiverEvent>& events) {
  state_ = State::kIdle;
  if (!frameFault_.empty()) {
    Violation(events, frameFault_);
  } else if (stored_.empty()) {
    Violation(events, "frame without payload or checksum byte");
  } else if (std::accumulate(stored_.begin(), stored_.end(), 0u) % 256 != 0) {
    Violation(events, "checksum error over " + std::to_string(stored_.size()) + " bytes");
  } else {
    stored_.pop_back();  // the checksum byte
    events.push_back({ReceiverEvent::Kind::kRequest, std::move(stored_), {}});
  }
  stored_.clear();
}

void RequestReceiver::FlushStray(std::vector<ReceiverEvent>& events) {
  if (strayCount_ == 0) return;
  Violation(events, std::to_string(strayCount_) + " stray bytes outside a frame");
  strayCount_ = 0;
}

void RequestReceiver::BeginStartRun() {
  state_ = State::kStartRun;
  startCount_ = 1;
  stored_.clear();
  escaped_ = false;
  frameFault_.clear();
}

void RequestReceiver::Violation(std::vector<ReceiverEvent>& events, std::string detail) {
  events.push_back({ReceiverEvent::Kind::kViolation, {}, std::move(detail)});
}

}  // namespace vestrel::sim
