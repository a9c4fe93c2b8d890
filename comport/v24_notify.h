// How the port component tells its owner about the line: the reader thread posts messages with
// a value, a wParam (the port number) and an lParam (0) to a notify target that the owner
// supplies to Open. The target must accept posts from any thread and must not block.
//
// V24MessageQueue is the target for programs without a window toolkit; a window adapter posts
// events of the same values to a window instead.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>

namespace vestrel::comport {

// Message values, above the window system's range for applications (0x8000).
inline constexpr std::uint32_t WM_V24_RXCHAR = 0x8000 + 2000;    // characters have arrived
inline constexpr std::uint32_t WM_V24_FRAME = 0x8000 + 2020;     // framing error
inline constexpr std::uint32_t WM_V24_OVERRUN = 0x8000 + 2030;   // receive overrun
inline constexpr std::uint32_t WM_V24_RXPARITY = 0x8000 + 2040;  // parity error

struct V24Message {
  std::uint32_t Msg = 0;
  std::uintptr_t wParam = 0;  // the port number (zero-based index + 1)
  std::intptr_t lParam = 0;

  friend bool operator==(const V24Message&, const V24Message&) = default;
};

class V24NotifyTarget {
 public:
  virtual ~V24NotifyTarget() = default;
  // Queues the message for the owner and returns at once; false when it could not be queued.
  virtual bool Post(std::uint32_t Msg, std::uintptr_t wParam, std::intptr_t lParam) = 0;
};

// A thread-safe first-in first-out queue of messages, without a size limit (the reader posts at
// most one character message until the owner reacts).
class V24MessageQueue : public V24NotifyTarget {
 public:
  bool Post(std::uint32_t Msg, std::uintptr_t wParam, std::intptr_t lParam) override;

  // The oldest message, waiting up to `limit` for one to come.
  std::optional<V24Message> Take(std::chrono::milliseconds limit);
  // The oldest message if there is one.
  std::optional<V24Message> TryTake();
  std::size_t Size() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable posted_;
  std::deque<V24Message> messages_;
};

}  // namespace vestrel::comport
