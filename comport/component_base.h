// The small object model that the port component builds on: a persistent base, a component
// with an owner, a thread with suspended start and a settable priority, and a critical section.
// Each is as small as the component needs; none of them needs a GUI toolkit.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace vestrel::comport {

// Base of the objects that a form description sets properties on. Objects of this model are
// referred to by pointer and never copied; whoever wants their values copies them explicitly.
class TPersistent {
 public:
  TPersistent() = default;
  TPersistent(const TPersistent&) = delete;
  TPersistent& operator=(const TPersistent&) = delete;
  virtual ~TPersistent() = default;
};

// A component knows its owner. The owner does not delete it here: each owner deletes what it
// creates (a Qt parent does that for the dialog's widgets).
class TComponent : public TPersistent {
 public:
  explicit TComponent(TComponent* Owner) : owner_(Owner) {}
  TComponent* Owner() const { return owner_; }

 private:
  TComponent* owner_;
};

// Thread priorities with the system values they stand for.
enum class TThreadPriority : int { tpIdle = -15, tpNormal = 0, tpAboveNormal = 1 };

// A thread whose body is Execute(). It starts suspended or running, runs Execute() once after
// Resume(), and polls Terminated() to notice a terminate request.
//
// The priority is a value kept with the thread, not applied to the scheduler: the writer thread
// uses it as its ready flag, and a thread may sleep until another thread changes it
// (WaitWhilePriority), so a parked thread costs no processor time.
//
// Threading contract: Resume, WaitFor and the destructor are called by the owner's thread only;
// Terminate, Terminated, SetPriority, Priority and WaitWhilePriority from any thread.
class TThread {
 public:
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;

  // Requests termination and waits for the end. A derived class whose Execute() uses its own
  // members must end the thread in its own destructor, before those members go.
  virtual ~TThread();

  // Starts Execute() on its own thread; a thread already started is left alone.
  void Resume();

  // Sets the terminate request; it also ends a WaitWhilePriority() in progress.
  void Terminate();

  // Waits until Execute() has returned. A thread that was never started counts as ended.
  void WaitFor();
  // The same, giving up after `limit`; true when the thread has ended.
  bool WaitFor(std::chrono::milliseconds limit);

  void SetPriority(TThreadPriority Priority);
  // A stored value outside the known set reads as normal.
  TThreadPriority Priority() const;

  // Sleeps while the priority reads as `Priority` and no termination has been requested.
  void WaitWhilePriority(TThreadPriority Priority);
  // The same, giving up after `limit`; true when the priority reads differently.
  bool WaitWhilePriority(TThreadPriority Priority, std::chrono::milliseconds limit);

 protected:
  explicit TThread(bool CreateSuspended) : create_suspended_(CreateSuspended) {}

  // The most-derived constructor calls this last: a thread created running starts here, once
  // the object it runs on is complete.
  void AfterConstruction();

  bool Terminated() const;

  virtual void Execute() = 0;

 private:
  void Run();
  bool PriorityChangedOrTerminated(TThreadPriority Priority) const;

  mutable std::mutex mutex_;
  std::condition_variable changed_;  // finished_, terminated_ or priority_ changed
  std::thread thread_;
  const bool create_suspended_;
  bool started_ = false;
  bool finished_ = false;
  bool terminated_ = false;
  TThreadPriority priority_ = TThreadPriority::tpNormal;
};

// Mutual exclusion for short sections. Also usable with std::lock_guard.
class TCriticalSection {
 public:
  void Enter() { mutex_.lock(); }
  void Leave() { mutex_.unlock(); }
  void lock() { Enter(); }
  void unlock() { Leave(); }

 private:
  std::mutex mutex_;
};

}  // namespace vestrel::comport
