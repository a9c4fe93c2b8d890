#include "comport/v24_threads.h"

#include <cstring>
#include <mutex>
#include <span>

namespace vestrel::comport {

std::uint32_t GetTickCount() {
  const auto since = std::chrono::steady_clock::now().time_since_epoch();
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(since).count();
  return static_cast<std::uint32_t>(static_cast<std::uint64_t>(ms));
}

std::uint32_t LineErrorBits(const platform::LineErrorCounters& before,
                            const platform::LineErrorCounters& now) {
  std::uint32_t bits = 0;
  if (now.frame != before.frame) bits |= CE_FRAME;
  if (now.overrun != before.overrun) bits |= CE_OVERRUN;
  if (now.parity != before.parity) bits |= CE_RXPARITY;
  if (now.breaks != before.breaks) bits |= CE_BREAK;
  if (now.bufferOverrun != before.bufferOverrun) bits |= CE_RXOVER;
  return bits;
}

// ---- reader ----

TV24Read_Thread::TV24Read_Thread(bool CreateSuspended, V24NotifyTarget* NotifyWindow,
                                 platform::SerialDevice* PortHandle, int Index, TTickSource Tick)
    : TThread(CreateSuspended),
      NotifyWindow(NotifyWindow),
      PortHandle(PortHandle),
      PortNumber(Index + 1),
      Tick(Tick ? std::move(Tick) : TTickSource(&GetTickCount)) {
  SetPriority(TThreadPriority::tpNormal);
  AfterConstruction();
}

TV24Read_Thread::~TV24Read_Thread() {
  Terminate();
  WaitFor();
}

bool TV24Read_Thread::GetAktiv() {
  std::lock_guard lock(AktivLock);
  return Aktiv;
}

void TV24Read_Thread::SetAktiv(bool Value) {
  std::lock_guard lock(AktivLock);
  Aktiv = Value;
}

void TV24Read_Thread::Execute() {
  platform::LineErrorCounters counters;
  // Lines without error counters (pseudo-terminals) report no line errors.
  const bool hasCounters = PortHandle->GetLineErrorCounters(counters).ok();
  RxState rx;
  do {
    HandleReceived(WaitForArrival(), rx);
    platform::LineErrorCounters now;
    if (hasCounters && PortHandle->GetLineErrorCounters(now).ok()) {
      if (const std::uint32_t errors = LineErrorBits(counters, now)) PostLineErrors(errors);
      counters = now;
    }
  } while (!Terminated());
}

// One event wait of at most kEventWait. A wait that fails outright (or a line that hangs up)
// would end at once on every pass; the rest of that time is slept instead, so a dead line does
// not keep the thread busy.
bool TV24Read_Thread::WaitForArrival() {
  const platform::SerialResult r = PortHandle->WaitArrival(kEventWait);
  if (r.ok()) return true;
  if (r.status == platform::SerialStatus::Gone) LineGone = true;
  if (r.status != platform::SerialStatus::TimedOut) SleepUnlessTerminated(kEventWait);
  return false;
}

void TV24Read_Thread::HandleReceived(bool Arrived, RxState& State) {
  if (!Arrived && !State.TimerMask) return;
  if (!GetAktiv()) {
    SetAktiv(true);
    if (!Post(WM_V24_RXCHAR)) SetAktiv(false);
    State.Seen = false;
    State.TimerRunning = false;
    State.TimerMask = false;
    return;
  }
  // The owner has not reacted yet: from the second further arrival on, a timer runs, and once
  // more than five seconds have passed the next pass notifies again.
  if (State.TimerRunning && Tick() - State.TimerStart > kRenotifyMs) {
    SetAktiv(false);
    State.Seen = false;
    State.TimerRunning = false;
  }
  if (State.Seen && !State.TimerRunning) {
    State.TimerStart = Tick();
    State.TimerRunning = true;
    State.TimerMask = Arrived;
  }
  State.Seen = true;
}

// The three messages are independent; one pass can post several, in this order.
void TV24Read_Thread::PostLineErrors(std::uint32_t Errors) {
  if (Errors & CE_FRAME) Post(WM_V24_FRAME);
  if (Errors & CE_OVERRUN) Post(WM_V24_OVERRUN);
  if (Errors & CE_RXPARITY) Post(WM_V24_RXPARITY);
  if (Errors & CE_BREAK) PortHandle->ClearBreak();
}

bool TV24Read_Thread::Post(std::uint32_t Msg) {
  return NotifyWindow != nullptr &&
         NotifyWindow->Post(Msg, static_cast<std::uintptr_t>(PortNumber), 0);
}

// The reader's priority never changes, so this sleeps until the limit or a terminate request.
void TV24Read_Thread::SleepUnlessTerminated(std::chrono::milliseconds Limit) {
  WaitWhilePriority(Priority(), Limit);
}

// ---- writer ----

TV24Write_Thread::TV24Write_Thread(bool CreateSuspended, V24NotifyTarget* NotifyWindow,
                                   platform::SerialDevice* PortHandle, int Index)
    : TThread(CreateSuspended),
      NotifyWindow(NotifyWindow),
      PortHandle(PortHandle),
      PortNumber(Index + 1) {
  SetPriority(TThreadPriority::tpNormal);
  AfterConstruction();
}

TV24Write_Thread::~TV24Write_Thread() {
  Terminate();
  WaitFor();
}

bool TV24Write_Thread::TXReady() const {
  return Priority() == TThreadPriority::tpIdle;
}

void TV24Write_Thread::TXWake() {
  SetPriority(TThreadPriority::tpAboveNormal);
}

void TV24Write_Thread::TXPark() {
  SetPriority(TThreadPriority::tpIdle);
  WaitWhilePriority(TThreadPriority::tpIdle);
}

void TV24Write_Thread::Execute() {
  if (Terminated()) return;
  do {
    if (TxCount > 0) {
      SendBlock();
      TxCount = 0;
    }
    if (!Terminated()) TXPark();
    // A block handed over together with the terminate request is still sent.
  } while (!Terminated() || TxCount > 0);
}

std::int32_t TV24Write_Thread::SendBlock() {
  const platform::SerialResult r =
      PortHandle->Write(std::span<const std::uint8_t>(TxBuffer.data(), TxCount));
  TxDone = static_cast<std::int32_t>(r.count);
  if (r.count < TxCount) TxError.store(true);
  return TxDone;
}

int TV24Write_Thread::TXPut(const std::uint8_t* Data, std::uint32_t Count, bool Async) {
  if (!TXReady()) return kV24NotReady;
  if (TxError.load()) return kV24WriteError;
  if (Count > kTxBufferSize) return kV24BadCount;
  if (Count > 0) std::memcpy(TxBuffer.data(), Data, Count);
  TxCount = Count;
  if (!Async) return TXSendNow();
  TXWake();
  return static_cast<int>(Count);
}

int TV24Write_Thread::TXSendNow() {
  if (TxCount == 0) return 0;
  const std::uint32_t count = TxCount;
  SendBlock();
  if (static_cast<std::uint32_t>(TxDone) < count) TxDone = kV24WriteError;
  TxCount = 0;
  return TxDone;
}

void TV24Write_Thread::WaitUntilReady() {
  for (TThreadPriority p = Priority(); p != TThreadPriority::tpIdle && !Terminated();
       p = Priority())
    WaitWhilePriority(p);
}

}  // namespace vestrel::comport
