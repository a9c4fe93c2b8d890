// POSIX serial devices on termios.
//
// The descriptor is non-blocking and every wait is a poll() with the time limit that the
// COMMTIMEOUTS give, so a waiting thread sleeps in the kernel and a hang-up (poll reports
// POLLHUP, read returns 0 or EIO) is told apart from a time-out. VMIN=1/VTIME=0 make an empty
// queue read as EAGAIN rather than 0.
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "platform/local_serial.h"

#ifdef __linux__
#include <linux/serial.h>
#include <sys/epoll.h>

#include "platform/linux_baud.h"
#endif

namespace vestrel::platform {
namespace {

using Clock = std::chrono::steady_clock;
using Deadline = std::optional<Clock::time_point>;

std::string ErrorText(int error) {
  return std::system_category().message(error);
}

bool IsGoneError(int error) {
  return error == EIO || error == ENXIO || error == ENODEV;
}

SerialResult FromErrno(int error, std::size_t count = 0) {
  SerialStatus status = SerialStatus::Failed;
  if (IsGoneError(error)) status = SerialStatus::Gone;
  if (error == ENOTTY) status = SerialStatus::Unsupported;
  return {status, count, error, ErrorText(error)};
}

SerialResult Success(std::size_t count = 0) {
  return {SerialStatus::Ok, count, 0, {}};
}

SerialResult Invalid(const char* what) {
  return {SerialStatus::Failed, 0, EINVAL, what};
}

int PollTimeoutMs(const Deadline& deadline) {
  if (!deadline) return -1;
  auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now()).count();
  return static_cast<int>(std::clamp<decltype(left)>(left, 0, INT_MAX));
}

// The shortest sleep while the output queue drains.
constexpr auto kDrainPollMin = std::chrono::microseconds(200);

Deadline After(Clock::time_point start, std::uint64_t milliseconds) {
  return start + std::chrono::milliseconds(milliseconds);
}

enum class Ready { Yes, TimedOut, HungUp, Error };

struct PollOutcome {
  Ready ready;
  short revents = 0;
  int error = 0;
};

PollOutcome PollFd(int fd, short events, const Deadline& deadline) {
  for (;;) {
    pollfd p{fd, events, 0};
    const int r = ::poll(&p, 1, PollTimeoutMs(deadline));
    if (r < 0) {
      if (errno == EINTR) continue;
      return {Ready::Error, 0, errno};
    }
    if (r == 0) return {Ready::TimedOut};
    if (p.revents & POLLNVAL) return {Ready::Error, p.revents, EBADF};
    if (p.revents & events) return {Ready::Yes, p.revents};
    if (p.revents & (POLLHUP | POLLERR)) return {Ready::HungUp, p.revents};
  }
}

SerialResult Gone() {
  return {SerialStatus::Gone, 0, EIO, "the device hung up"};
}

struct RateCode {
  std::uint32_t rate;
  speed_t code;
};

// The rates every POSIX system names; others go through linux_baud where available.
constexpr RateCode kStandardRates[] = {
    {50, B50},       {75, B75},         {110, B110},       {134, B134},     {150, B150},
    {200, B200},     {300, B300},       {600, B600},       {1200, B1200},   {1800, B1800},
    {2400, B2400},   {4800, B4800},     {9600, B9600},     {19200, B19200}, {38400, B38400},
    {57600, B57600}, {115200, B115200}, {230400, B230400},
};

std::optional<speed_t> StandardCode(std::uint32_t rate) {
  for (const RateCode& r : kStandardRates)
    if (r.rate == rate) return r.code;
  return std::nullopt;
}

#ifndef __linux__
std::uint32_t RateOfCode(speed_t code) {
  for (const RateCode& r : kStandardRates)
    if (r.code == code) return r.rate;
  return 0;
}
#endif

tcflag_t SizeFlag(std::uint8_t byteSize) {
  switch (byteSize) {
    case 5:
      return CS5;
    case 6:
      return CS6;
    case 7:
      return CS7;
    default:
      return CS8;
  }
}

std::uint8_t ByteSizeOf(tcflag_t cflag) {
  switch (cflag & CSIZE) {
    case CS5:
      return 5;
    case CS6:
      return 6;
    case CS7:
      return 7;
    default:
      return 8;
  }
}

#ifdef CMSPAR
constexpr tcflag_t kStickParity = CMSPAR;
#else
constexpr tcflag_t kStickParity = 0;
#endif

const char* CheckDcb(const DCB& dcb) {
  if (dcb.BaudRate == 0) return "baud rate 0";
  if (dcb.ByteSize < 5 || dcb.ByteSize > 8) return "byte size outside 5..8";
  if (dcb.Parity > SPACEPARITY) return "unknown parity";
  if ((dcb.Parity == MARKPARITY || dcb.Parity == SPACEPARITY) && kStickParity == 0)
    return "mark and space parity are not available";
  if (dcb.StopBits > TWOSTOPBITS) return "unknown stop bits";
  if (dcb.fDtrControl > DTR_CONTROL_HANDSHAKE) return "unknown DTR control";
  if (dcb.fRtsControl > RTS_CONTROL_HANDSHAKE) return "RTS toggling is not available";
  return nullptr;
}

// A raw line with the DCB's framing and flow control; the rate is set separately.
void ApplyDcb(const DCB& dcb, termios& tio) {
  tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                        IXON | IXOFF | IXANY | INPCK | IGNPAR);
  if (dcb.fParity) tio.c_iflag |= INPCK;
  if (dcb.fOutX) tio.c_iflag |= IXON;
  if (dcb.fInX) tio.c_iflag |= IXOFF;
  tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);

  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | kStickParity);
#ifdef CRTSCTS
  tio.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
  if (dcb.fOutxCtsFlow || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) tio.c_cflag |= CRTSCTS;
#endif
  tio.c_cflag |= CLOCAL | CREAD | SizeFlag(dcb.ByteSize);
  switch (dcb.Parity) {
    case ODDPARITY:
      tio.c_cflag |= PARENB | PARODD;
      break;
    case EVENPARITY:
      tio.c_cflag |= PARENB;
      break;
    case MARKPARITY:
      tio.c_cflag |= PARENB | PARODD | kStickParity;
      break;
    case SPACEPARITY:
      tio.c_cflag |= PARENB | kStickParity;
      break;
    default:
      break;
  }
  if (dcb.StopBits != ONESTOPBIT) tio.c_cflag |= CSTOPB;

  tio.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
  tio.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
}

std::uint8_t ParityOf(tcflag_t cflag) {
  if (!(cflag & PARENB)) return NOPARITY;
  const bool odd = (cflag & PARODD) != 0;
  if (kStickParity != 0 && (cflag & kStickParity)) return odd ? MARKPARITY : SPACEPARITY;
  return odd ? ODDPARITY : EVENPARITY;
}

class PosixSerialDevice final : public SerialDevice {
 public:
  PosixSerialDevice(int fd, std::string path, bool pseudoTerminal)
      : fd_(fd), path_(std::move(path)), pseudoTerminal_(pseudoTerminal) {
    // What a pseudo-terminal carries until it is set otherwise, so that the line state read at
    // open can be set again.
    if (pseudoTerminal_) shadow_.ByteSize = 8;
  }

  ~PosixSerialDevice() override {
    RestoreLowLatency();
#ifdef __linux__
    if (arrivals_ >= 0) ::close(arrivals_);
#endif
    ::ioctl(fd_, TIOCNXCL);  // the next opener must not find the line still exclusive
    ::close(fd_);            // also releases the flock
  }

  PosixSerialDevice(const PosixSerialDevice&) = delete;
  PosixSerialDevice& operator=(const PosixSerialDevice&) = delete;

  const std::string& Path() const override {
    return path_;
  }

  SerialResult SetupComm(std::uint32_t, std::uint32_t) override {
    return Success();
  }

  SerialResult Purge(std::uint32_t flags) override {
    const bool rx = (flags & PURGE_RXCLEAR) != 0;
    const bool tx = (flags & PURGE_TXCLEAR) != 0;
    if (!rx && !tx) return Success();
    const int queue = rx && tx ? TCIOFLUSH : (rx ? TCIFLUSH : TCOFLUSH);
    if (::tcflush(fd_, queue) != 0) return FromErrno(errno);
    return Success();
  }

  SerialResult GetCommState(DCB& dcb) override {
    termios tio{};
    if (::tcgetattr(fd_, &tio) != 0) return FromErrno(errno);
    std::uint32_t rate = 0;
    if (SerialResult r = ReadRate(tio, rate); !r.ok()) return r;

    std::lock_guard lock(mutex_);
    dcb = shadow_;
    dcb.BaudRate = rate;
    dcb.fBinary = 1;
    dcb.fParity = (tio.c_iflag & INPCK) ? 1 : 0;
    dcb.fOutX = (tio.c_iflag & IXON) ? 1 : 0;
    dcb.fInX = (tio.c_iflag & IXOFF) ? 1 : 0;
    if (!pseudoTerminal_) {
      dcb.ByteSize = ByteSizeOf(tio.c_cflag);
      dcb.Parity = ParityOf(tio.c_cflag);
    }
    if (!(tio.c_cflag & CSTOPB))
      dcb.StopBits = ONESTOPBIT;
    else if (shadow_.StopBits != ONE5STOPBITS)  // termios cannot tell 1.5 from 2
      dcb.StopBits = TWOSTOPBITS;
    dcb.XonChar = static_cast<char>(tio.c_cc[VSTART]);
    dcb.XoffChar = static_cast<char>(tio.c_cc[VSTOP]);
    ReadFlowControl(tio, dcb);
    return Success();
  }

  SerialResult SetCommState(const DCB& dcb) override {
    if (const char* fault = CheckDcb(dcb)) return Invalid(fault);
    termios tio{};
    if (::tcgetattr(fd_, &tio) != 0) return FromErrno(errno);
    ApplyDcb(dcb, tio);
    const std::optional<speed_t> code = StandardCode(dcb.BaudRate);
    if (code) {
      ::cfsetispeed(&tio, *code);
      ::cfsetospeed(&tio, *code);
    }
    if (::tcsetattr(fd_, TCSANOW, &tio) != 0) return FromErrno(errno);
    if (!code) {
#ifdef __linux__
      if (int error = linux_baud::SetRate(fd_, dcb.BaudRate)) return FromErrno(error);
#else
      return {SerialStatus::Unsupported, 0, EINVAL, "baud rate not available"};
#endif
    }
    if (SerialResult r = CheckRateTaken(dcb.BaudRate); !r.ok()) return r;
    if (SerialResult r = ApplyModemLines(dcb); !r.ok()) return r;
    std::lock_guard lock(mutex_);
    shadow_ = dcb;
    return Success();
  }

  SerialResult GetCommTimeouts(COMMTIMEOUTS& timeouts) override {
    std::lock_guard lock(mutex_);
    timeouts = timeouts_;
    return Success();
  }

  SerialResult SetCommTimeouts(const COMMTIMEOUTS& timeouts) override {
    std::lock_guard lock(mutex_);
    timeouts_ = timeouts;
    return Success();
  }

  SerialResult SetDtr(bool on) override {
    return SetModemBit(TIOCM_DTR, on);
  }
  SerialResult SetRts(bool on) override {
    return SetModemBit(TIOCM_RTS, on);
  }

  SerialResult Read(std::span<std::uint8_t> buffer) override {
    if (buffer.empty()) return Success();
    const ReadPlan plan = PlanRead(Timeouts(), buffer.size());
    const auto start = Clock::now();
    const Deadline total = plan.total ? Deadline(start + *plan.total) : std::nullopt;
    const std::optional<std::chrono::milliseconds> interval = plan.interval;
    const bool returnOnAny = plan.returnOnAny;

    std::size_t got = 0;
    Clock::time_point lastByte = start;
    for (;;) {
      Deadline deadline = total;
      if (got > 0 && interval) {
        const auto gap = lastByte + *interval;
        deadline = deadline ? std::min(*deadline, gap) : gap;
      }
      const PollOutcome p = PollFd(fd_, POLLIN, deadline);
      if (p.ready == Ready::TimedOut) return Success(got);
      if (p.ready == Ready::HungUp) return WithCount(Gone(), got);
      if (p.ready == Ready::Error) return FromErrno(p.error, got);

      SerialResult r = ReadAvailable(buffer.subspan(got), p.revents);
      if (!r.ok()) return WithCount(std::move(r), got);
      if (r.count > 0) {
        got += r.count;
        lastByte = Clock::now();
      }
      if (got == buffer.size() || (returnOnAny && got > 0)) return Success(got);
    }
  }

  SerialResult Write(std::span<const std::uint8_t> data) override {
    const COMMTIMEOUTS t = Timeouts();
    Deadline deadline;
    if (t.WriteTotalTimeoutMultiplier != 0 || t.WriteTotalTimeoutConstant != 0)
      deadline = After(Clock::now(), std::uint64_t{t.WriteTotalTimeoutMultiplier} * data.size() +
                                         t.WriteTotalTimeoutConstant);
    std::size_t done = 0;
    while (done < data.size()) {
      const ssize_t n = ::write(fd_, data.data() + done, data.size() - done);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return FromErrno(errno, done);
      const PollOutcome p = PollFd(fd_, POLLOUT, deadline);
      if (p.ready == Ready::TimedOut)
        return {SerialStatus::TimedOut, done, ETIMEDOUT, ErrorText(ETIMEDOUT)};
      if (p.ready == Ready::HungUp) return WithCount(Gone(), done);
      if (p.ready == Ready::Error) return FromErrno(p.error, done);
    }
    return Success(done);
  }

  // tcdrain() alone may wait forever on a line that stopped taking bytes (a stalled USB
  // adapter), so the output queue is watched until it is empty, sleeping about as long as its
  // bytes take on the wire; tcdrain() then only waits for the UART's own FIFO.
  SerialResult Drain(std::chrono::milliseconds limit) override {
    const auto deadline = Clock::now() + limit;
    for (;;) {
      int queued = 0;
      if (::ioctl(fd_, TIOCOUTQ, &queued) != 0 || queued <= 0) break;
      const auto now = Clock::now();
      if (now >= deadline) return {SerialStatus::TimedOut, 0, ETIMEDOUT, ErrorText(ETIMEDOUT)};
      const auto onTheWire = ByteTime() * queued;
      std::this_thread::sleep_for(
          std::clamp<Clock::duration>(onTheWire, kDrainPollMin, deadline - now));
    }
    while (::tcdrain(fd_) != 0) {
      if (errno != EINTR) return FromErrno(errno);
    }
    return Success();
  }

  SerialResult WaitReadable(std::chrono::milliseconds limit) override {
    const PollOutcome p = PollFd(fd_, POLLIN, Clock::now() + limit);
    switch (p.ready) {
      case Ready::TimedOut:
        return {SerialStatus::TimedOut, 0, ETIMEDOUT, ErrorText(ETIMEDOUT)};
      case Ready::HungUp:
        return Gone();
      case Ready::Error:
        return FromErrno(p.error);
      case Ready::Yes:
        break;
    }
    if (p.revents & (POLLHUP | POLLERR)) {
      // A hung-up line also reports POLLIN; only bytes still queued count as readable.
      int queued = 0;
      if (::ioctl(fd_, FIONREAD, &queued) != 0 || queued <= 0) return Gone();
    }
    return Success();
  }

  SerialResult SetLowLatency(bool on) override {
#if defined(__linux__) && defined(TIOCGSERIAL) && defined(ASYNC_LOW_LATENCY)
    constexpr int kLowLatency = static_cast<int>(ASYNC_LOW_LATENCY);
    serial_struct serial{};
    if (::ioctl(fd_, TIOCGSERIAL, &serial) != 0) return NoSerialSetting(errno);
    const bool wasOn = (serial.flags & kLowLatency) != 0;
    if (wasOn == on) return Success();
    if (!lowLatencyBefore_) lowLatencyBefore_ = wasOn;
    serial.flags = on ? serial.flags | kLowLatency : serial.flags & ~kLowLatency;
    if (::ioctl(fd_, TIOCSSERIAL, &serial) != 0) return NoSerialSetting(errno);
    return Success();
#else
    (void)on;
    return {SerialStatus::Unsupported, 0, ENOTTY, ErrorText(ENOTTY)};
#endif
  }
#ifdef __linux__
  // An edge-triggered epoll registration reports each arrival once: the tty driver wakes its
  // readers whenever bytes come in, and bytes left unread raise no further event.
  SerialResult WaitArrival(std::chrono::milliseconds limit) override {
    if (arrivals_ < 0) {
      const int ep = ::epoll_create1(EPOLL_CLOEXEC);
      if (ep < 0) return FromErrno(errno);
      epoll_event watch{};
      watch.events = EPOLLIN | EPOLLET;
      watch.data.fd = fd_;
      if (::epoll_ctl(ep, EPOLL_CTL_ADD, fd_, &watch) != 0) {
        const int error = errno;
        ::close(ep);
        return FromErrno(error);
      }
      arrivals_ = ep;
    }
    const Deadline deadline = Clock::now() + limit;
    for (;;) {
      epoll_event event{};
      const int r = ::epoll_wait(arrivals_, &event, 1, PollTimeoutMs(deadline));
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) return FromErrno(errno);
      if (r == 0) return {SerialStatus::TimedOut, 0, ETIMEDOUT, ErrorText(ETIMEDOUT)};
      if (event.events & (EPOLLHUP | EPOLLERR)) {
        int queued = 0;
        if (::ioctl(fd_, FIONREAD, &queued) != 0 || queued <= 0) return Gone();
      }
      return Success();
    }
  }
#endif

  SerialResult GetLineErrorCounters(LineErrorCounters& counters) override {
#if defined(__linux__) && defined(TIOCGICOUNT)
    serial_icounter_struct ic{};
    if (::ioctl(fd_, TIOCGICOUNT, &ic) != 0) return FromErrno(errno);
    auto u = [](int v) { return static_cast<std::uint32_t>(v); };
    counters = {u(ic.frame), u(ic.overrun), u(ic.parity), u(ic.brk), u(ic.buf_overrun)};
    return Success();
#else
    (void)counters;
    return {SerialStatus::Unsupported, 0, ENOTTY, ErrorText(ENOTTY)};
#endif
  }

  SerialResult ClearBreak() override {
    if (::ioctl(fd_, TIOCCBRK) != 0) return FromErrno(errno);
    return Success();
  }

 private:
  static SerialResult WithCount(SerialResult r, std::size_t count) {
    r.count = count;
    return r;
  }

  COMMTIMEOUTS Timeouts() {
    std::lock_guard lock(mutex_);
    return timeouts_;
  }

  // Ten bit times at the rate last set (9600 baud before any).
  Clock::duration ByteTime() {
    std::lock_guard lock(mutex_);
    const std::uint32_t rate = shadow_.BaudRate != 0 ? shadow_.BaudRate : 9600;
    return std::chrono::duration_cast<Clock::duration>(std::chrono::seconds(10)) / rate;
  }

  // Bytes that poll announced; 0 with a hang-up reported is the end of the line.
  SerialResult ReadAvailable(std::span<std::uint8_t> buffer, short revents) {
    const bool hungUp = (revents & (POLLHUP | POLLERR)) != 0;
    for (;;) {
      const ssize_t n = ::read(fd_, buffer.data(), buffer.size());
      if (n > 0) return Success(static_cast<std::size_t>(n));
      if (n == 0) return hungUp ? Gone() : Success();
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return hungUp ? Gone() : Success();
      return FromErrno(errno);
    }
  }

  SerialResult ReadRate(const termios& tio, std::uint32_t& rate) {
#ifdef __linux__
    (void)tio;
    if (int error = linux_baud::GetRate(fd_, rate)) return FromErrno(error);
#else
    rate = RateOfCode(::cfgetospeed(&tio));
#endif
    return Success();
  }

  // Some drivers run the line at another rate than asked without failing: a 16550 port whose
  // clock allows 115200 at most stays there when asked for 921600. The driver writes back
  // the rate it runs; one too far off for the far end to follow is a failure.
  SerialResult CheckRateTaken(std::uint32_t wanted) {
    termios tio{};
    if (::tcgetattr(fd_, &tio) != 0) return FromErrno(errno);
    std::uint32_t actual = 0;
    if (SerialResult r = ReadRate(tio, actual); !r.ok()) return r;
    if (RateWithinTolerance(wanted, actual)) return Success();
    return {SerialStatus::Unsupported, 0, EINVAL,
            "the driver does not run " + std::to_string(wanted) + " baud (it set " +
                std::to_string(actual) + ")"};
  }

  // Flow control from termios where it says something, the rest as last set.
  void ReadFlowControl(const termios& tio, DCB& dcb) {
#ifdef CRTSCTS
    const bool hardwareFlow = (tio.c_cflag & CRTSCTS) != 0;
#else
    const bool hardwareFlow = false;
#endif
    const bool shadowFlow =
        shadow_.fOutxCtsFlow != 0 || shadow_.fRtsControl == RTS_CONTROL_HANDSHAKE;
    if (hardwareFlow && !shadowFlow) {
      dcb.fOutxCtsFlow = 1;
      dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    } else if (!hardwareFlow) {
      dcb.fOutxCtsFlow = 0;
      if (dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) dcb.fRtsControl = RTS_CONTROL_ENABLE;
    }
    int lines = 0;
    if (::ioctl(fd_, TIOCMGET, &lines) != 0) return;  // no modem lines: as last set
    if (dcb.fDtrControl != DTR_CONTROL_HANDSHAKE)
      dcb.fDtrControl = (lines & TIOCM_DTR) ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    if (dcb.fRtsControl != RTS_CONTROL_HANDSHAKE)
      dcb.fRtsControl = (lines & TIOCM_RTS) ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
  }

  SerialResult ApplyModemLines(const DCB& dcb) {
    SerialResult dtr = SetDtr(dcb.fDtrControl != DTR_CONTROL_DISABLE);
    if (dtr.status != SerialStatus::Ok && dtr.status != SerialStatus::Unsupported) return dtr;
    if (dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) return Success();  // the driver drives RTS
    SerialResult rts = SetRts(dcb.fRtsControl != RTS_CONTROL_DISABLE);
    if (rts.status != SerialStatus::Ok && rts.status != SerialStatus::Unsupported) return rts;
    return Success();
  }

  // Drivers without the serial settings answer ENOTTY (pseudo-terminals) or EINVAL.
  static SerialResult NoSerialSetting(int error) {
    SerialResult r = FromErrno(error);
    if (error == EINVAL) r.status = SerialStatus::Unsupported;
    return r;
  }

  void RestoreLowLatency() {
    if (lowLatencyBefore_) SetLowLatency(*lowLatencyBefore_);
  }

  // Pseudo-terminals answer ENOTTY, some adapters EINVAL: both mean "no modem lines".
  SerialResult SetModemBit(int bit, bool on) {
    if (::ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &bit) == 0) return Success();
    const int error = errno;
    SerialResult r = FromErrno(error);
    if (error == EINVAL) r.status = SerialStatus::Unsupported;
    return r;
  }

  const int fd_;
  const std::string path_;
  // A pseudo-terminal has no framing: its driver keeps 8 bits without parity whatever is set,
  // so byte size and parity read back as they were set.
  const bool pseudoTerminal_;
  std::mutex mutex_;  // guards the two records below
  DCB shadow_{};
  COMMTIMEOUTS timeouts_{};
  std::optional<bool> lowLatencyBefore_;  // the driver's setting before SetLowLatency changed it
#ifdef __linux__
  int arrivals_ = -1;  // epoll instance of WaitArrival, created at its first call
#endif
};

std::string OwnerGroup(gid_t gid) {
  group entry{};
  group* found = nullptr;
  std::vector<char> scratch(4096);
  if (::getgrgid_r(gid, &entry, scratch.data(), scratch.size(), &found) == 0 && found)
    return found->gr_name;
  return std::to_string(gid);
}

OpenResult Refused(int error, const std::string& path) {
  OpenResult result;
  result.error = error;
  result.text = ErrorText(error);
  switch (error) {
    case ENOENT:
    case ENOTDIR:
    case ENXIO:
    case ENODEV:
    case EIO:
      result.status = OpenStatus::NotFound;
      break;
    case EBUSY:
    case EWOULDBLOCK:
      result.status = OpenStatus::Busy;
      break;
    case EACCES:
    case EPERM: {
      result.status = OpenStatus::PermissionDenied;
      struct stat st {};
      if (::stat(path.c_str(), &st) == 0) result.ownerGroup = OwnerGroup(st.st_gid);
      break;
    }
    default:
      result.status = OpenStatus::Failed;
  }
  return result;
}

bool IsPseudoTerminal(const struct stat& st) {
#ifdef __linux__
  const unsigned kind = major(st.st_rdev);
  return kind >= 136 && kind <= 143;  // UNIX98 pseudo-terminal slaves
#else
  (void)st;
  return false;
#endif
}

OpenResult NotASerialDevice(int error) {
  OpenResult result;
  result.status = OpenStatus::NotASerialDevice;
  result.error = error;
  result.text = "not a serial device";
  return result;
}

// Takes the exclusive hold of an open terminal: the flock refuses a second opener even with
// administrator rights (TIOCEXCL alone does not); TIOCEXCL also keeps out programs that do not
// use flock. A line already in exclusive mode belongs to another program.
int TakeExclusiveHold(int fd) {
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return errno;
#ifdef TIOCGEXCL
  int exclusive = 0;
  if (::ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0) return EBUSY;
#endif
  if (::ioctl(fd, TIOCEXCL) != 0) return errno;
  return 0;
}

}  // namespace

OpenResult OpenLocalSerialDevice(const std::string& path) {
  // Looked at before opening, so that a file, FIFO or directory is never opened (opening a FIFO
  // could block, and a frame written into a file is lost).
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return Refused(errno, path);
  if (!S_ISCHR(st.st_mode)) return NotASerialDevice(ENOTTY);

  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return Refused(errno, path);
  if (::fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode) || !::isatty(fd)) {
    ::close(fd);
    return NotASerialDevice(ENOTTY);
  }
  if (const int error = TakeExclusiveHold(fd)) {
    ::close(fd);
    return Refused(error, path);
  }
  OpenResult result;
  result.status = OpenStatus::Opened;
  result.device = std::make_unique<PosixSerialDevice>(fd, path, IsPseudoTerminal(st));
  return result;
}

OpenResult OpenLocalSerialDeviceSynchronous(const std::string& path) {
  return OpenLocalSerialDevice(path);
}

}  // namespace vestrel::platform
