#include "comport/v24_notify.h"

namespace vestrel::comport {

bool V24MessageQueue::Post(std::uint32_t Msg, std::uintptr_t wParam, std::intptr_t lParam) {
  {
    std::lock_guard lock(mutex_);
    messages_.push_back({Msg, wParam, lParam});
  }
  posted_.notify_one();
  return true;
}

std::optional<V24Message> V24MessageQueue::Take(std::chrono::milliseconds limit) {
  std::unique_lock lock(mutex_);
  if (!posted_.wait_for(lock, limit, [this] { return !messages_.empty(); })) return std::nullopt;
  V24Message message = messages_.front();
  messages_.pop_front();
  return message;
}

std::optional<V24Message> V24MessageQueue::TryTake() {
  return Take(std::chrono::milliseconds(0));
}

std::size_t V24MessageQueue::Size() const {
  std::lock_guard lock(mutex_);
  return messages_.size();
}

}  // namespace vestrel::comport
