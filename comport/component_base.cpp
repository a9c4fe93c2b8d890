#include "comport/component_base.h"

namespace vestrel::comport {

namespace {

TThreadPriority KnownPriority(TThreadPriority stored) {
  switch (stored) {
    case TThreadPriority::tpIdle:
    case TThreadPriority::tpNormal:
    case TThreadPriority::tpAboveNormal:
      return stored;
  }
  return TThreadPriority::tpNormal;
}

}  // namespace

TThread::~TThread() {
  Terminate();
  WaitFor();
}

void TThread::AfterConstruction() {
  if (!create_suspended_) Resume();
}

void TThread::Resume() {
  std::lock_guard lock(mutex_);
  if (started_) return;
  started_ = true;
  thread_ = std::thread(&TThread::Run, this);
}

void TThread::Run() {
  Execute();
  std::lock_guard lock(mutex_);
  finished_ = true;
  changed_.notify_all();
}

void TThread::Terminate() {
  std::lock_guard lock(mutex_);
  terminated_ = true;
  changed_.notify_all();
}

bool TThread::Terminated() const {
  std::lock_guard lock(mutex_);
  return terminated_;
}

void TThread::WaitFor() {
  if (thread_.joinable()) thread_.join();
}

bool TThread::WaitFor(std::chrono::milliseconds limit) {
  {
    std::unique_lock lock(mutex_);
    if (!started_) return true;
    if (!changed_.wait_for(lock, limit, [this] { return finished_; })) return false;
  }
  WaitFor();
  return true;
}

void TThread::SetPriority(TThreadPriority Priority) {
  std::lock_guard lock(mutex_);
  priority_ = Priority;
  changed_.notify_all();
}

TThreadPriority TThread::Priority() const {
  std::lock_guard lock(mutex_);
  return KnownPriority(priority_);
}

bool TThread::PriorityChangedOrTerminated(TThreadPriority Priority) const {
  return KnownPriority(priority_) != Priority || terminated_;
}

void TThread::WaitWhilePriority(TThreadPriority Priority) {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return PriorityChangedOrTerminated(Priority); });
}

bool TThread::WaitWhilePriority(TThreadPriority Priority, std::chrono::milliseconds limit) {
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, limit, [&] { return PriorityChangedOrTerminated(Priority); });
  return KnownPriority(priority_) != Priority;
}

}  // namespace vestrel::comport
