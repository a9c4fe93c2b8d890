// A serial device whose line the test plays: it records the line states and time-outs set,
// hands out queued bytes, can hold or shorten writes, keeps line error counters, and lets the
// test end each event wait of the reader thread and wait until the reader has handled it.
//
// The line's state lives in FakeLine, shared with the device, so the test can still look at it
// after the component has released the device.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/serial_device.h"

namespace vestrel::comport::fakes {

using namespace std::chrono_literals;
using platform::COMMTIMEOUTS;
using platform::DCB;
using platform::LineErrorCounters;
using platform::SerialResult;
using platform::SerialStatus;

inline constexpr auto kBound = 5s;  // no wait of a test lasts longer

inline SerialResult Result(SerialStatus status, std::size_t count = 0) {
  SerialResult r;
  r.status = status;
  r.count = count;
  return r;
}

struct FakeLine {
  std::mutex mutex;
  std::condition_variable changed;

  // Line state and time-outs: as found at open, then as last set.
  DCB state;
  COMMTIMEOUTS timeouts;
  std::vector<DCB> statesSet;
  std::vector<COMMTIMEOUTS> timeoutsSet;
  bool released = false;  // the component let go of the device

  // Reads hand out these bytes at once.
  std::deque<std::uint8_t> input;

  // Writes: what arrived, in blocks; at most writeLimit bytes are taken per write; while
  // holdWrites is set a write waits (up to its write time-out) for it to clear.
  std::vector<std::vector<std::uint8_t>> blocks;
  std::optional<std::size_t> writeLimit;
  bool holdWrites = false;
  int writesWaiting = 0;

  // Event waits of the reader: each queued status ends one wait; without one a wait ends after
  // at most maxWait with TimedOut.
  std::deque<SerialStatus> events;
  std::chrono::milliseconds maxWait{20};
  bool inWait = false;
  int waitsEntered = 0;

  std::optional<LineErrorCounters> counters;  // none: the device keeps no error counters
  int breaksCleared = 0;

  template <class Pred>
  bool WaitUntil(std::unique_lock<std::mutex>& lock, Pred pred) {
    return changed.wait_for(lock, kBound, pred);
  }

  // Waits until the reader sits in an event wait with nothing queued for it: every event given
  // before has been handled completely.
  bool WaitReaderIdle() {
    std::unique_lock lock(mutex);
    const int entered = waitsEntered;
    // A wait entered after the last event was taken means the pass that handled it is over.
    return WaitUntil(lock, [&] { return events.empty() && inWait && waitsEntered > entered; });
  }

  // Ends the reader's current wait with `status` and waits until the pass is over.
  bool Event(SerialStatus status) {
    {
      std::lock_guard lock(mutex);
      events.push_back(status);
    }
    changed.notify_all();
    return WaitReaderIdle();
  }
  bool Arrive() { return Event(SerialStatus::Ok); }
  bool Pass() { return Event(SerialStatus::TimedOut); }

  void Queue(const std::string& bytes) {
    std::lock_guard lock(mutex);
    input.insert(input.end(), bytes.begin(), bytes.end());
  }

  void SetCounters(LineErrorCounters value) {
    std::lock_guard lock(mutex);
    counters = value;
  }

  void HoldWrites(bool hold) {
    {
      std::lock_guard lock(mutex);
      holdWrites = hold;
    }
    changed.notify_all();
  }

  bool WaitForWriteWaiting() {
    std::unique_lock lock(mutex);
    return WaitUntil(lock, [&] { return writesWaiting > 0; });
  }

  bool WaitForBlocks(std::size_t count) {
    std::unique_lock lock(mutex);
    return WaitUntil(lock, [&] { return blocks.size() >= count; });
  }

  std::vector<std::vector<std::uint8_t>> Blocks() {
    std::lock_guard lock(mutex);
    return blocks;
  }
};

class FakeSerialDevice : public platform::SerialDevice {
 public:
  explicit FakeSerialDevice(std::shared_ptr<FakeLine> line) : line_(std::move(line)) {}
  ~FakeSerialDevice() override {
    {
      std::lock_guard lock(line_->mutex);
      line_->released = true;
    }
    line_->changed.notify_all();
  }

  const std::string& Path() const override { return path_; }
  SerialResult SetupComm(std::uint32_t, std::uint32_t) override { return {}; }
  SerialResult Purge(std::uint32_t) override { return {}; }

  SerialResult GetCommState(DCB& dcb) override {
    std::lock_guard lock(line_->mutex);
    dcb = line_->state;
    return {};
  }
  SerialResult SetCommState(const DCB& dcb) override {
    std::lock_guard lock(line_->mutex);
    line_->state = dcb;
    line_->statesSet.push_back(dcb);
    return {};
  }
  SerialResult GetCommTimeouts(COMMTIMEOUTS& timeouts) override {
    std::lock_guard lock(line_->mutex);
    timeouts = line_->timeouts;
    return {};
  }
  SerialResult SetCommTimeouts(const COMMTIMEOUTS& timeouts) override {
    std::lock_guard lock(line_->mutex);
    line_->timeouts = timeouts;
    line_->timeoutsSet.push_back(timeouts);
    return {};
  }
  SerialResult SetDtr(bool) override { return Result(SerialStatus::Unsupported); }
  SerialResult SetRts(bool) override { return Result(SerialStatus::Unsupported); }

  SerialResult Read(std::span<std::uint8_t> buffer) override {
    std::lock_guard lock(line_->mutex);
    std::size_t n = 0;
    while (n < buffer.size() && !line_->input.empty()) {
      buffer[n++] = line_->input.front();
      line_->input.pop_front();
    }
    return Result(SerialStatus::Ok, n);
  }

  // A held write ends when released, or short (nothing taken) when its write time-out passes.
  SerialResult Write(std::span<const std::uint8_t> data) override {
    std::unique_lock lock(line_->mutex);
    const COMMTIMEOUTS t = line_->timeouts;
    const auto limit = std::chrono::milliseconds(t.WriteTotalTimeoutMultiplier * data.size() +
                                                 t.WriteTotalTimeoutConstant);
    ++line_->writesWaiting;
    line_->changed.notify_all();
    const bool released =
        line_->changed.wait_for(lock, std::min<std::chrono::milliseconds>(limit, kBound),
                                [&] { return !line_->holdWrites; });
    --line_->writesWaiting;
    if (!released) return Result(SerialStatus::TimedOut, 0);
    const std::size_t n = std::min(data.size(), line_->writeLimit.value_or(data.size()));
    line_->blocks.emplace_back(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(n));
    line_->changed.notify_all();
    if (n < data.size()) return Result(SerialStatus::TimedOut, n);
    return Result(SerialStatus::Ok, n);
  }

  SerialResult Drain(std::chrono::milliseconds) override { return {}; }
  SerialResult WaitReadable(std::chrono::milliseconds limit) override { return WaitArrival(limit); }

  SerialResult WaitArrival(std::chrono::milliseconds limit) override {
    std::unique_lock lock(line_->mutex);
    line_->inWait = true;
    ++line_->waitsEntered;
    line_->changed.notify_all();
    line_->changed.wait_for(lock, std::min(limit, line_->maxWait),
                            [&] { return !line_->events.empty(); });
    line_->inWait = false;
    if (line_->events.empty()) return Result(SerialStatus::TimedOut);
    const SerialStatus status = line_->events.front();
    line_->events.pop_front();
    return Result(status);
  }

  SerialResult GetLineErrorCounters(LineErrorCounters& counters) override {
    std::lock_guard lock(line_->mutex);
    if (!line_->counters) return Result(SerialStatus::Unsupported);
    counters = *line_->counters;
    return {};
  }
  SerialResult ClearBreak() override {
    std::lock_guard lock(line_->mutex);
    ++line_->breaksCleared;
    return {};
  }

 private:
  std::shared_ptr<FakeLine> line_;
  std::string path_ = "fake";
};

}  // namespace vestrel::comport::fakes
