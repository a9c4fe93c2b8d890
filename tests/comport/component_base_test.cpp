#include "comport/component_base.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

namespace vestrel::comport {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// Generous bound for waits that only fail when something is broken.
constexpr milliseconds kLimit = seconds(10);

TEST(Component, KnowsItsOwner) {
  TComponent owner(nullptr);
  TComponent child(&owner);
  EXPECT_EQ(owner.Owner(), nullptr);
  EXPECT_EQ(child.Owner(), &owner);
}

// A thread whose body is given by the test.
class TestThread : public TThread {
 public:
  TestThread(bool CreateSuspended, std::function<void(TestThread&)> body)
      : TThread(CreateSuspended), body_(std::move(body)) {
    AfterConstruction();
  }
  ~TestThread() override {
    Terminate();
    WaitFor();
  }
  using TThread::Terminated;

 private:
  void Execute() override { body_(*this); }

  std::function<void(TestThread&)> body_;
};

TEST(Thread, SuspendedThreadRunsOnlyAfterResume) {
  std::atomic<bool> resumed{false};
  std::atomic<bool> ran{false};
  std::atomic<bool> ran_before_resume{false};
  TestThread t(true, [&](TestThread&) {
    ran_before_resume = !resumed;
    ran = true;
  });
  EXPECT_TRUE(t.WaitFor(milliseconds(0))) << "a thread never started counts as ended";
  EXPECT_FALSE(ran);
  resumed = true;
  t.Resume();
  t.Resume();  // a second Resume starts nothing more
  ASSERT_TRUE(t.WaitFor(kLimit));
  EXPECT_TRUE(ran);
  EXPECT_FALSE(ran_before_resume);
}

TEST(Thread, RunningThreadStartsWithoutResume) {
  std::atomic<int> runs{0};
  TestThread t(false, [&](TestThread&) { ++runs; });
  ASSERT_TRUE(t.WaitFor(kLimit));
  t.WaitFor();  // waiting again after the end returns at once
  EXPECT_EQ(runs, 1);
}

TEST(Thread, TerminateRequestEndsAPollingBody) {
  std::atomic<bool> polling{false};
  TestThread t(false, [&](TestThread& self) {
    while (!self.Terminated()) polling = true;
  });
  // Regression: on a busy machine the thread may not have run yet when the request comes, and
  // then it never polls. Waits, bounded, until it does.
  const auto deadline = std::chrono::steady_clock::now() + kLimit;
  while (!polling && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
  EXPECT_FALSE(t.WaitFor(milliseconds(20))) << "the body runs until asked to end";
  t.Terminate();
  EXPECT_TRUE(t.WaitFor(kLimit));
  EXPECT_TRUE(polling);
}

TEST(Thread, TerminateBeforeResumeIsSeenAtTheStart) {
  std::atomic<bool> saw_request{false};
  TestThread t(true, [&](TestThread& self) { saw_request = self.Terminated(); });
  t.Terminate();
  t.Resume();
  ASSERT_TRUE(t.WaitFor(kLimit));
  EXPECT_TRUE(saw_request);
}

TEST(Thread, PriorityStartsNormalAndReadsBackKnownValuesOnly) {
  TestThread t(true, [](TestThread&) {});
  EXPECT_EQ(t.Priority(), TThreadPriority::tpNormal);
  t.SetPriority(TThreadPriority::tpIdle);
  EXPECT_EQ(t.Priority(), TThreadPriority::tpIdle);
  t.SetPriority(TThreadPriority::tpAboveNormal);
  EXPECT_EQ(t.Priority(), TThreadPriority::tpAboveNormal);
  t.SetPriority(static_cast<TThreadPriority>(2));
  EXPECT_EQ(t.Priority(), TThreadPriority::tpNormal);
}

// The writer's hand-off: it parks at idle priority and sleeps until a producer raises it.
TEST(Thread, ParkedThreadWakesWhenItsPriorityIsRaised) {
  std::atomic<int> wakes{0};
  TestThread t(false, [&](TestThread& self) {
    while (!self.Terminated()) {
      self.SetPriority(TThreadPriority::tpIdle);
      self.WaitWhilePriority(TThreadPriority::tpIdle);
      if (self.Priority() == TThreadPriority::tpAboveNormal) ++wakes;
    }
  });
  for (int round = 1; round <= 3; ++round) {
    // Parked again: the priority leaves the value the producer set.
    const TThreadPriority before =
        round == 1 ? TThreadPriority::tpNormal : TThreadPriority::tpAboveNormal;
    ASSERT_TRUE(t.WaitWhilePriority(before, kLimit)) << "round " << round;
    ASSERT_EQ(t.Priority(), TThreadPriority::tpIdle);
    t.SetPriority(TThreadPriority::tpAboveNormal);
  }
  t.Terminate();
  ASSERT_TRUE(t.WaitFor(kLimit));
  EXPECT_EQ(wakes, 3);
}

TEST(Thread, TerminateReleasesAParkedThread) {
  TestThread t(false, [](TestThread& self) {
    self.SetPriority(TThreadPriority::tpIdle);
    self.WaitWhilePriority(TThreadPriority::tpIdle);
  });
  ASSERT_TRUE(t.WaitWhilePriority(TThreadPriority::tpNormal, kLimit));
  t.Terminate();
  EXPECT_TRUE(t.WaitFor(kLimit));
  EXPECT_EQ(t.Priority(), TThreadPriority::tpIdle) << "termination does not fake a wake-up";
}

TEST(Thread, BoundedPriorityWaitGivesUp) {
  TestThread t(true, [](TestThread&) {});
  EXPECT_FALSE(t.WaitWhilePriority(TThreadPriority::tpNormal, milliseconds(1)));
}

void Increment(long& counter) {
  const long seen = counter;
  std::this_thread::yield();  // widens the window that a missing lock would expose
  counter = seen + 1;
}

TEST(CriticalSection, SerialisesReadModifyWrite) {
  TCriticalSection lock;
  long counter = 0;
  constexpr int kThreads = 4;
  constexpr int kRounds = 20000;
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    const bool use_guard = i % 2 == 1;  // half of them through the standard guard
    threads.emplace_back([&, use_guard] {
      for (int r = 0; r < kRounds; ++r) {
        if (use_guard) {
          std::lock_guard guard(lock);
          Increment(counter);
        } else {
          lock.Enter();
          Increment(counter);
          lock.Leave();
        }
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(counter, kThreads * kRounds);
}

}  // namespace
}  // namespace vestrel::comport
