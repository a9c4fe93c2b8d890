// The port component's worker threads. While a port is open, the reader TV24Read_Thread waits
// for arrivals and line errors and posts messages about them to the owner (it never reads data;
// the owner fetches the bytes with TComPort::Read), and the writer TV24Write_Thread sends the
// blocks that TComPort::Write hands over.
//
// The writer's state is its thread priority: normal while starting, idle when ready for a block,
// above normal while sending. A ready writer sleeps until a producer or Close changes its
// priority, so an idle open port costs no processor time.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>

#include "comport/component_base.h"
#include "comport/v24_notify.h"
#include "platform/serial_device.h"

namespace vestrel::comport {

// Milliseconds from an arbitrary start, wrapping at 2^32; differences are taken unsigned.
using TTickSource = std::function<std::uint32_t()>;
std::uint32_t GetTickCount();

// Results of Read and Write; non-negative values are byte counts.
inline constexpr int kV24NoPort = -10;       // no port open
inline constexpr int kV24NotReady = -1;      // the writer is starting or sending
inline constexpr int kV24WriteError = -100;  // a short write latched, or this one was short
inline constexpr int kV24BadCount = -20;     // Count below -1, too large, or no data

inline constexpr std::size_t kTxBufferSize = 32768;

// Line error bits, as the reader derives them from the driver's error counters.
inline constexpr std::uint32_t CE_RXOVER = 0x01;  // input buffer overflow: posts nothing
inline constexpr std::uint32_t CE_OVERRUN = 0x02;
inline constexpr std::uint32_t CE_RXPARITY = 0x04;
inline constexpr std::uint32_t CE_FRAME = 0x08;
inline constexpr std::uint32_t CE_BREAK = 0x10;

// Which counters grew from `before` to `now`, as line error bits.
std::uint32_t LineErrorBits(const platform::LineErrorCounters& before,
                            const platform::LineErrorCounters& now);

class TV24Read_Thread : public TThread {
 public:
  // Index is the zero-based port index; messages carry Index + 1. Tick defaults to
  // GetTickCount. NotifyWindow may be null: every post then fails.
  TV24Read_Thread(bool CreateSuspended, V24NotifyTarget* NotifyWindow,
                  platform::SerialDevice* PortHandle, int Index, TTickSource Tick = {});
  ~TV24Read_Thread() override;

  // True from a posted WM_V24_RXCHAR until the owner reacts (Read, Reset_SetAktiv, Close).
  bool GetAktiv();
  void SetAktiv(bool Value);
  // True once a wait has found the line hung up (a USB adapter pulled, the far side of a
  // pseudo-terminal closed); a hung-up line never comes back on the same handle.
  bool GetLineGone() const { return LineGone.load(); }

  // The longest wait for an event: the reader looks at its terminate request this often, so
  // Close (which waits for the reader) returns within it.
  static constexpr std::chrono::milliseconds kEventWait{100};
  static constexpr std::uint32_t kRenotifyMs = 5000;

 protected:
  void Execute() override;

 private:
  // State of the character notification between passes.
  struct RxState {
    bool Seen = false;          // an arrival came while Aktiv was set
    bool TimerRunning = false;  // the re-notification timer runs since TimerStart
    std::uint32_t TimerStart = 0;
    bool TimerMask = false;  // a pass without an arrival still looks at the timer
  };

  bool WaitForArrival();
  void HandleReceived(bool Arrived, RxState& State);
  void PostLineErrors(std::uint32_t Errors);
  bool Post(std::uint32_t Msg);
  void SleepUnlessTerminated(std::chrono::milliseconds Limit);

  V24NotifyTarget* const NotifyWindow;
  platform::SerialDevice* const PortHandle;
  bool Aktiv = false;
  std::atomic<bool> LineGone{false};
  const std::int32_t PortNumber;
  TCriticalSection AktivLock;
  const TTickSource Tick;
};

class TV24Write_Thread : public TThread {
 public:
  TV24Write_Thread(bool CreateSuspended, V24NotifyTarget* NotifyWindow,
                   platform::SerialDevice* PortHandle, int Index);
  ~TV24Write_Thread() override;

  bool TXReady() const;  // the writer is parked and takes a block
  void TXWake();         // raises the writer out of its ready state
  void TXPark();         // the writer's own: ready, then sleeps until raised or terminated

  // Hands over Count bytes (at most kTxBufferSize): kV24NotReady unless ready, kV24WriteError
  // while the error latch is set, else Count after waking the writer (Async) or the result of
  // TXSendNow. Nothing is copied unless the block is taken.
  int TXPut(const std::uint8_t* Data, std::uint32_t Count, bool Async);
  // Sends the staged block in the calling thread: the bytes written, or kV24WriteError after a
  // short write (which latches).
  int TXSendNow();

  // Returns once the writer is ready: at once when it is, else after its block has gone.
  void WaitUntilReady();

  bool TxErrorLatched() const { return TxError.load(); }
  void ClearTxError() { TxError.store(false); }

 protected:
  void Execute() override;

 private:
  // Writes the staged block and latches a short write; the bytes written.
  std::int32_t SendBlock();

  V24NotifyTarget* const NotifyWindow;  // kept for the owner's sake; the writer posts nothing
  platform::SerialDevice* const PortHandle;
  std::array<std::uint8_t, kTxBufferSize> TxBuffer{};
  std::atomic<bool> TxError{false};
  // Written by a producer only while the writer is ready, read by the writer only after it was
  // raised: the priority's lock orders both.
  std::uint32_t TxCount = 0;
  std::int32_t TxDone = 0;
  const std::int32_t PortNumber;
};

}  // namespace vestrel::comport
