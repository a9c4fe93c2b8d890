#include "tools/sim/pty_simulator.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tools/sim/bootloader_model.h"
#include "tools/sim/fault_injector.h"
#include "tools/sim/modem_socket.h"
#include "tools/sim/port_server.h"
#include "tools/sim/request_log.h"
#include "tools/sim/request_receiver.h"

namespace vestrel::sim {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::duration_cast;

constexpr unsigned kFloorBaudWithoutPacing = 38400;
constexpr std::size_t kIoChunk = 4096;
constexpr std::size_t kBabbleChunk = 64;
// Paced bytes are handed on in groups of up to this many back-to-back bytes, as a UART's receive
// FIFO or a USB adapter's packets do: to the host, and to the simulated bootloader. The last
// byte of a group is on time, so a reply or request still ends when its last byte has crossed
// the wire. Byte by byte, both sides would wake for every byte, which no real line asks of them.
constexpr std::size_t kWireGroup = 16;
constexpr std::size_t kBabbleQueueLimit = 256;
constexpr SimDuration kBabbleInterval = std::chrono::milliseconds(2);
// Before ending, let the host read what was sent: closing the master discards the slave's
// unread input. Bounded, because nobody may be reading.
constexpr SimDuration kLingerPoll = std::chrono::milliseconds(10);
constexpr SimDuration kLingerLimit = std::chrono::seconds(1);

// When the first group of bytes in a non-empty queue has crossed the wire: the time of its last
// byte. A group ends at kWireGroup bytes or at a pause in the line (a burst gap, a reply's end).
template <typename Queue, typename TimeOf>
SimDuration GroupEnd(const Queue& queue, SimDuration byteTime, TimeOf timeOf) {
  std::size_t last = 0;
  while (last + 1 < queue.size() && last + 1 < kWireGroup &&
         timeOf(queue[last + 1]) == timeOf(queue[last]) + byteTime) {
    ++last;
  }
  return timeOf(queue[last]);
}

volatile std::sig_atomic_t gStopSignal = 0;

// C linkage for the C library, static so that no other file's handler of this name clashes.
extern "C" {
static void OnStopSignal(int signal) {
  gStopSignal = signal;
}
}

std::string ErrnoText(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

// Blocks the stop signals outside ppoll() so that one arriving between two checks cannot be
// missed; returns the mask to wait with (the signals unblocked).
sigset_t InstallSignalHandlers() {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  sigset_t stops;
  sigemptyset(&stops);
  for (int s : {SIGTERM, SIGINT, SIGHUP}) {
    sigaction(s, &action, nullptr);
    sigaddset(&stops, s);
  }
  sigset_t waitMask;
  sigprocmask(SIG_BLOCK, &stops, &waitMask);
  for (int s : {SIGTERM, SIGINT, SIGHUP}) sigdelset(&waitMask, s);
  return waitMask;
}

struct Pty {
  int master = -1;
  int slave = -1;  // held open so the line is not hung up between the host's opens
  std::string path;
};

std::optional<std::string> OpenPty(Pty& pty) {
  pty.master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (pty.master < 0) return ErrnoText("posix_openpt");
  if (grantpt(pty.master) != 0 || unlockpt(pty.master) != 0) return ErrnoText("unlockpt");
  char name[256];
  if (ptsname_r(pty.master, name, sizeof name) != 0) return ErrnoText("ptsname_r");
  pty.path = name;
  pty.slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (pty.slave < 0) return ErrnoText("open " + pty.path);
  termios tio{};
  if (tcgetattr(pty.slave, &tio) != 0) return ErrnoText("tcgetattr");
  cfmakeraw(&tio);  // no echo, no line editing, no output processing
  if (tcsetattr(pty.slave, TCSANOW, &tio) != 0) return ErrnoText("tcsetattr");
  return std::nullopt;
}

void ClosePty(Pty& pty) {
  if (pty.master >= 0) close(pty.master);
  if (pty.slave >= 0) close(pty.slave);
  pty.master = pty.slave = -1;
}

std::optional<std::string> PlaceLink(const std::string& link, const std::string& target) {
  struct stat st {};
  if (lstat(link.c_str(), &st) == 0) {
    if (!S_ISLNK(st.st_mode)) return link + " exists and is not a symlink; not replacing it";
    if (unlink(link.c_str()) != 0) return ErrnoText("unlink " + link);
  }
  if (symlink(target.c_str(), link.c_str()) != 0) return ErrnoText("symlink " + link);
  return std::nullopt;
}

// Removes the link only while it still points at our device (another run may own it now).
void RemoveLink(const std::string& link, const std::string& target) {
  char buffer[4096];
  const ssize_t n = readlink(link.c_str(), buffer, sizeof buffer);
  if (n >= 0 && std::string(buffer, static_cast<std::size_t>(n)) == target) unlink(link.c_str());
}

std::optional<std::vector<std::uint8_t>> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

bool WriteFile(const std::string& path, std::span<const std::uint8_t> bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

class Simulator {
 public:
  Simulator(const SimOptions& options, std::ostream& err)
      : options_(options),
        err_(err),
        byteTime_(options.paceBaud > 0 ? SimDuration(10'000'000'000 / options.paceBaud)
                                       : SimDuration(0)),
        receiver_(ReceiverConfig{std::chrono::milliseconds(options.probeQuietMs) + byteTime_,
                                 std::chrono::milliseconds(100) + byteTime_}),
        model_(options.model),
        faults_(options.faults, options.seed) {
    if (options.resetWiring) circuit_.emplace(*options.resetWiring);
  }

  int Run(std::ostream& out);

 private:
  struct OutByte {
    std::uint8_t value;
    SimDuration release;  // when the byte has crossed the emulated wire
    bool babble;
  };

  SimDuration Now() const { return duration_cast<SimDuration>(Clock::now() - start_); }
  double Seconds(SimDuration t) const { return std::chrono::duration<double>(t).count(); }

  void Loop(const sigset_t& waitMask);
  void DeliverInput(SimDuration now);
  void HandleEvents(const std::vector<ReceiverEvent>& events, SimDuration now);
  void HandleProbe(SimDuration now);
  void NoteIgnoredSync();
  void HandleModemLine(Line line, bool on, SimDuration now);
  // False while the application runs or the board is held in reset.
  bool BootloaderListens() const {
    return !applicationRunning_ && (!circuit_ || circuit_->State() == BoardState::Bootloader);
  }
  void HandleRequest(const std::vector<std::uint8_t>& payload, SimDuration now);
  void Send(const Transmission& transmission, SimDuration notBefore);
  void Enqueue(std::span<const std::uint8_t> bytes, SimDuration notBefore, bool babble = false);
  void FeedBabble(SimDuration now);
  void StopBabble();
  bool FlushOutput(SimDuration now);
  void ReadInput(SimDuration now);
  void Unplug(SimDuration now);
  std::optional<SimDuration> NextWake(SimDuration now) const;
  bool Busy() const { return babbling_ || !outbound_.empty(); }
  // False once --stop-reading-after-bytes has been reached: the line takes no more bytes.
  bool ReadsInput() const {
    return !options_.stopReadingAfterBytes || bytesIn_ < *options_.stopReadingAfterBytes;
  }
  SimDuration GroupDue() const;         // the first group of output bytes
  SimDuration InboundGroupDue() const;  // the first group of input bytes
  bool ConsumeBudget(std::uint64_t& count);
  bool HostHasRead(SimDuration now);
  std::optional<std::string> StartServer();
  void CheckLineSettings(SimDuration now);
  void Log(const JsonLine& line);
  void Finish(SimDuration now);

  const SimOptions& options_;
  std::ostream& err_;
  const SimDuration byteTime_;
  RequestReceiver receiver_;
  BootloaderModel model_;
  FaultInjector faults_;
  std::optional<ResetCircuit> circuit_;
  std::unique_ptr<ModemSocket> modem_;
  Pty pty_;
  std::unique_ptr<PortServer> server_;        // --listen
  std::optional<LineSettings> lineSettings_;  // as last logged
  std::ofstream log_;
  Clock::time_point start_ = Clock::now();

  std::deque<std::pair<std::uint8_t, SimDuration>> inbound_;
  SimDuration lastDelivery_{0};
  std::deque<OutByte> outbound_;
  SimDuration lastRelease_{0};
  bool babbling_ = false;
  SimDuration nextBabble_{0};
  bool applicationRunning_ = false;
  bool ignoredSyncNoted_ = false;  // since the board last left its bootloader
  std::optional<SimDuration> appTextAt_;
  std::optional<SimDuration> lingerUntil_;

  std::uint64_t bytesIn_ = 0;
  std::uint64_t bytesOut_ = 0;
  std::uint64_t probes_ = 0;
  std::uint64_t requests_ = 0;
  std::uint64_t violations_ = 0;
  bool stop_ = false;
  bool failed_ = false;
  std::string stopReason_;
};

int Simulator::Run(std::ostream& out) {
  if (!options_.flashIn.empty()) {
    const auto contents = ReadFile(options_.flashIn);
    if (!contents || !model_.LoadFlash(*contents)) {
      err_ << "vestrel-sim: --flash-in " << options_.flashIn
           << ": unreadable or larger than the flash\n";
      return 2;
    }
  }
  if (!options_.logPath.empty()) {
    log_.open(options_.logPath, std::ios::trunc);
    if (!log_) {
      err_ << "vestrel-sim: cannot write the log " << options_.logPath << "\n";
      return 1;
    }
  }
  // Paced bytes are due every few microseconds; the kernel's default timer slack of 50 us
  // would make every reply late by a wake-up's worth.
  if (options_.paceBaud > 0) prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  const sigset_t waitMask = InstallSignalHandlers();
  if (auto error = OpenPty(pty_)) {
    err_ << "vestrel-sim: " << *error << "\n";
    ClosePty(pty_);
    return 1;
  }
  if (!options_.modemSocket.empty()) {
    std::string error;
    modem_ = ModemSocket::Listen(options_.modemSocket, error);
    if (!modem_) {
      err_ << "vestrel-sim: " << error << "\n";
      ClosePty(pty_);
      return 1;
    }
  }
  if (!options_.link.empty()) {
    if (auto error = PlaceLink(options_.link, pty_.path)) {
      err_ << "vestrel-sim: " << *error << "\n";
      ClosePty(pty_);
      return 1;
    }
  }
  if (auto error = StartServer()) {
    err_ << "vestrel-sim: " << *error << "\n";
    ClosePty(pty_);
    return 1;
  }
  out << (server_ ? server_->Url() : pty_.path) << std::endl;
  JsonLine start;
  start.Add("event", "start").Add("t", 0.0).Add("device", pty_.path);
  if (server_) start.Add("listen", server_->Url());
  Log(start.Add("seed", options_.seed).AddHex("flash_size", options_.model.flashSize, 8));
  CheckLineSettings(Now());

  Loop(waitMask);
  Finish(Now());
  return failed_ ? 1 : 0;
}

void Simulator::Loop(const sigset_t& waitMask) {
  const std::optional<SimDuration> limit =
      options_.maxSeconds > 0 ? std::optional(duration_cast<SimDuration>(
                                    std::chrono::duration<double>(options_.maxSeconds)))
                              : std::nullopt;
  while (!stop_) {
    SimDuration now = Now();
    if (limit && now >= *limit) {
      stopReason_ = "time limit";
      break;
    }
    DeliverInput(now);
    if (appTextAt_ && now >= *appTextAt_) {
      const std::string& text = options_.appText;
      Enqueue({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}, now);
      appTextAt_.reset();
    }
    FeedBabble(now);
    if (!FlushOutput(now)) break;
    if (options_.exitAfterStart && applicationRunning_ && !appTextAt_ && outbound_.empty() &&
        HostHasRead(now)) {
      stopReason_ = "application started";
      break;
    }

    std::vector<pollfd> fds{{pty_.master, static_cast<short>(ReadsInput() ? POLLIN : 0), 0}};
    if (!outbound_.empty() && GroupDue() <= now) fds[0].events |= POLLOUT;  // the write was refused
    if (server_) server_->AddPollFds(fds);
    const auto firstModemFd = static_cast<std::ptrdiff_t>(fds.size());
    if (modem_) modem_->AddPollFds(fds);
    std::optional<SimDuration> wake = NextWake(now);
    if (limit) wake = std::min(wake.value_or(*limit), *limit);
    timespec timeout{};
    if (wake) {
      const auto wait = std::max(*wake - now, SimDuration(0));
      timeout.tv_sec = static_cast<time_t>(wait.count() / 1'000'000'000);
      timeout.tv_nsec = static_cast<long>(wait.count() % 1'000'000'000);
    }
    const int ready = ppoll(fds.data(), fds.size(), wake ? &timeout : nullptr, &waitMask);
    if (gStopSignal != 0) {
      stopReason_ = std::string("signal ") + strsignal(gStopSignal);
      break;
    }
    if (ready < 0 && errno != EINTR) {
      err_ << "vestrel-sim: " << ErrnoText("poll") << "\n";
      failed_ = true;
      break;
    }
    if (ready > 0 && (fds[0].revents & POLLIN) != 0) ReadInput(Now());
    if (ready > 0 && server_ && server_->Service(fds, 1)) CheckLineSettings(Now());
    if (ready > 0 && modem_) {
      modem_->Handle(std::vector<pollfd>(fds.begin() + firstModemFd, fds.end()),
                     [this](Line line, bool on) { HandleModemLine(line, on, Now()); });
    }
  }
}

// The earliest moment at which something is due, or none (wait for input or a signal).
std::optional<SimDuration> Simulator::NextWake(SimDuration now) const {
  std::optional<SimDuration> wake;
  auto consider = [&wake](std::optional<SimDuration> t) {
    if (t && (!wake || *t < *wake)) wake = t;
  };
  if (!Busy()) {
    if (!inbound_.empty()) consider(InboundGroupDue());
    consider(receiver_.Deadline());
  }
  if (!outbound_.empty() && GroupDue() > now) consider(GroupDue());
  consider(appTextAt_);
  if (babbling_) consider(nextBabble_);
  if (lingerUntil_) consider(std::min(now + kLingerPoll, *lingerUntil_));
  return wake;
}

// Requests are served one at a time, as a single-threaded bootloader does: bytes that arrive
// while a reply is still going out wait in the input queue.
void Simulator::DeliverInput(SimDuration now) {
  while (!Busy() && !inbound_.empty() && inbound_.front().second <= now) {
    const auto [byte, time] = inbound_.front();
    inbound_.pop_front();
    HandleEvents(receiver_.Feed(byte, time), now);
  }
  if (!Busy()) HandleEvents(receiver_.Expire(now), now);
}

void Simulator::HandleEvents(const std::vector<ReceiverEvent>& events, SimDuration now) {
  for (const auto& event : events) {
    switch (event.kind) {
      case ReceiverEvent::Kind::kProbe:
        HandleProbe(now);
        break;
      case ReceiverEvent::Kind::kRequest:
        HandleRequest(event.payload, now);
        break;
      case ReceiverEvent::Kind::kViolation:
        ++violations_;
        if (!options_.quiet) err_ << "vestrel-sim: violation: " << event.detail << "\n";
        Log(JsonLine()
                .Add("event", "violation")
                .Add("t", Seconds(now))
                .Add("detail", event.detail));
        break;
    }
  }
}

void Simulator::HandleProbe(SimDuration now) {
  ++probes_;
  const bool answered = !options_.silent && BootloaderListens() && probes_ > options_.ignoreProbes;
  if (answered) {
    const std::vector<std::uint8_t> answer(options_.syncAnswerCount, options_.syncAnswer);
    Enqueue(answer, now);
  }
  if (!BootloaderListens()) NoteIgnoredSync();
  Log(JsonLine().Add("event", "probe").Add("t", Seconds(now)).Add("answered", answered));
}

// Once for each time the board leaves its bootloader: a host whose sync fails then learns why.
void Simulator::NoteIgnoredSync() {
  if (ignoredSyncNoted_ || options_.quiet) return;
  ignoredSyncNoted_ = true;
  if (circuit_ && circuit_->State() == BoardState::HeldInReset) {
    err_ << "vestrel-sim: the board is held in reset, so the sync is ignored\n";
  } else if (circuit_) {
    err_ << "vestrel-sim: the application runs, so the sync is ignored until the board is reset "
            "into its bootloader through DTR/RTS\n";
  } else {
    err_ << "vestrel-sim: the application runs, so the sync is ignored; restart vestrel-sim to "
            "load again, as a board without a reset circuit needs a reset\n";
  }
}

void Simulator::HandleModemLine(Line line, bool on, SimDuration now) {
  Log(JsonLine()
          .Add("event", "modem")
          .Add("t", Seconds(now))
          .Add("line", LineName(line))
          .Add("on", on));
  if (!circuit_) return;
  const BoardState before = circuit_->State();
  const bool restarted = circuit_->SetLine(line, on);
  if (circuit_->State() != before) ignoredSyncNoted_ = false;
  if (circuit_->State() == BoardState::HeldInReset) {
    // A board in reset sends nothing more.
    babbling_ = false;
    outbound_.clear();
    appTextAt_.reset();
  }
  if (!restarted) return;
  applicationRunning_ = circuit_->State() == BoardState::Application;
  if (applicationRunning_ && !options_.appText.empty())
    appTextAt_ = now + std::chrono::milliseconds(options_.appDelayMs);
  Log(JsonLine()
          .Add("event", "reset")
          .Add("t", Seconds(now))
          .Add("runs", BoardStateName(circuit_->State())));
}

void Simulator::HandleRequest(const std::vector<std::uint8_t>& payload, SimDuration now) {
  ++requests_;
  JsonLine line;
  // "bytes": the line's traffic so far, both ways, so that a test can pull the line at a chosen
  // request with --unplug-after-bytes.
  line.Add("event", "request").Add("t", Seconds(now)).Add("bytes", bytesIn_ + bytesOut_);
  if (!BootloaderListens()) {
    // The line belongs to the application, which does not understand frames, or the board is
    // held in reset.
    const bool held = circuit_ && circuit_->State() == BoardState::HeldInReset;
    line.Add("result", "ignored").Add("detail", held ? "held in reset" : "application running");
    Log(line);
    return;
  }
  const RequestOutcome outcome = model_.Handle(payload);
  line.AddHex("command", outcome.command, 4).Add("name", CommandName(outcome.command));
  if (outcome.address) {
    const bool finish = outcome.command == static_cast<std::uint16_t>(Command::kFinishProgram);
    line.AddHex(finish ? "length" : "address", *outcome.address, 8);
  }
  if (outcome.count) line.Add("count", std::uint64_t{*outcome.count});
  if (outcome.violation) {
    ++violations_;
    if (!options_.quiet) err_ << "vestrel-sim: violation: " << *outcome.violation << "\n";
    line.Add("result", "violation").Add("detail", *outcome.violation);
  } else {
    line.Add("result", "ok");
  }
  if (outcome.status) line.AddHex("status", *outcome.status, 4);
  if (outcome.reply) {
    if (options_.silent) {
      line.Add("faults", std::vector<std::string>{"silent"});
    } else {
      const Transmission transmission = faults_.Plan(outcome.command, *outcome.reply);
      const bool erase = outcome.command == static_cast<std::uint16_t>(Command::kEraseFlash);
      Send(transmission,
           now + (erase ? std::chrono::milliseconds(options_.eraseMs) : SimDuration(0)));
      line.Add("faults", transmission.faults);
    }
  }
  if (outcome.startsApplication) {
    applicationRunning_ = true;
    ignoredSyncNoted_ = false;
    if (!options_.appText.empty())
      appTextAt_ = now + std::chrono::milliseconds(options_.appDelayMs);
  }
  Log(line);
}

void Simulator::Send(const Transmission& transmission, SimDuration notBefore) {
  notBefore += transmission.delay;
  if (transmission.babble) {
    babbling_ = true;
    nextBabble_ = notBefore;
    return;
  }
  for (const auto& chunk : transmission.chunks) {
    Enqueue(chunk, notBefore);
    notBefore = lastRelease_ + faults_.config().burstGap;
  }
}

// Queues bytes for the wire; with pacing each byte is released one byte time after the one
// before it, so the host sees the line's real speed.
void Simulator::Enqueue(std::span<const std::uint8_t> bytes, SimDuration notBefore, bool babble) {
  for (std::uint8_t b : bytes) {
    lastRelease_ = std::max(notBefore, lastRelease_) + byteTime_;
    outbound_.push_back({b, lastRelease_, babble});
  }
}

void Simulator::FeedBabble(SimDuration now) {
  if (!babbling_ || now < nextBabble_ || outbound_.size() >= kBabbleQueueLimit) return;
  Enqueue(faults_.Babble(kBabbleChunk), now, true);
  nextBabble_ = now + kBabbleInterval;
}

// The host spoke again: a babbling line falls quiet and its unsent bytes are dropped.
void Simulator::StopBabble() {
  babbling_ = false;
  std::erase_if(outbound_, [](const OutByte& b) { return b.babble; });
  lastRelease_ = outbound_.empty() ? lastRelease_ : outbound_.back().release;
}

// Deducts `count` from the unplug budget, shortening it to what is left; true when the budget
// is exhausted by it.
bool Simulator::ConsumeBudget(std::uint64_t& count) {
  if (!options_.unplugAfterBytes) return false;
  const std::uint64_t used = bytesIn_ + bytesOut_;
  const std::uint64_t left =
      *options_.unplugAfterBytes > used ? *options_.unplugAfterBytes - used : 0;
  count = std::min(count, left);
  return count == left;
}

SimDuration Simulator::GroupDue() const {
  return GroupEnd(outbound_, byteTime_, [](const OutByte& b) { return b.release; });
}

SimDuration Simulator::InboundGroupDue() const {
  return GroupEnd(inbound_, byteTime_, [](const auto& b) { return b.second; });
}

bool Simulator::FlushOutput(SimDuration now) {
  if (outbound_.empty() || GroupDue() > now) return true;
  std::vector<std::uint8_t> ready;
  for (const auto& b : outbound_) {
    if (b.release > now || ready.size() == kIoChunk) break;
    ready.push_back(b.value);
  }
  if (ready.empty()) return true;
  std::uint64_t allowed = ready.size();
  const bool lastBytes = ConsumeBudget(allowed);
  ssize_t written = 0;
  if (allowed > 0) {
    written = write(pty_.master, ready.data(), static_cast<std::size_t>(allowed));
    if (written < 0) {
      if (errno == EAGAIN || errno == EINTR) return true;  // wait for POLLOUT
      err_ << "vestrel-sim: " << ErrnoText("write") << "\n";
      failed_ = true;
      return false;
    }
  }
  outbound_.erase(outbound_.begin(), outbound_.begin() + written);
  bytesOut_ += static_cast<std::uint64_t>(written);
  if (lastBytes && static_cast<std::uint64_t>(written) == allowed) {
    Unplug(now);
    return false;
  }
  return true;
}

void Simulator::ReadInput(SimDuration now) {
  std::uint8_t buffer[kIoChunk];
  std::size_t want = sizeof buffer;
  if (options_.stopReadingAfterBytes)
    want = static_cast<std::size_t>(
        std::min<std::uint64_t>(want, *options_.stopReadingAfterBytes - bytesIn_));
  if (want == 0) return;
  const ssize_t n = read(pty_.master, buffer, want);
  if (n <= 0) return;      // EAGAIN/EINTR; the master sees no hang-up while the slave is held
  CheckLineSettings(now);  // whoever set them (a local host, ser2net) did so before sending
  if (babbling_) StopBabble();
  std::uint64_t accepted = static_cast<std::uint64_t>(n);
  const bool lastBytes = ConsumeBudget(accepted);
  for (std::uint64_t i = 0; i < accepted; ++i) {
    lastDelivery_ = std::max(now, lastDelivery_) + byteTime_;
    inbound_.emplace_back(buffer[i], lastDelivery_);
  }
  bytesIn_ += accepted;
  if (lastBytes) Unplug(now);
}

// Closes both sides as a pulled USB adapter would: the host's reads see a hang-up and its
// writes fail with EIO. The flash keeps its state for --flash-out.
void Simulator::Unplug(SimDuration now) {
  if (server_) server_->Close();  // a closed connection is the network's pulled adapter
  ClosePty(pty_);
  stop_ = true;
  stopReason_ = "unplugged";
  Log(JsonLine().Add("event", "unplug").Add("t", Seconds(now)).Add("bytes", bytesIn_ + bytesOut_));
}

// True once the slave's input queue is empty, or when waiting for that has taken too long.
bool Simulator::HostHasRead(SimDuration now) {
  if (!lingerUntil_) {
    lingerUntil_ = now + kLingerLimit;
    return false;  // give the kernel a moment to move the last bytes to the slave
  }
  int unread = 0;
  if (ioctl(pty_.slave, FIONREAD, &unread) != 0) return true;
  if (server_) unread += static_cast<int>(std::min<std::size_t>(server_->Unsent(), 1 << 20));
  return unread == 0 || now >= *lingerUntil_;
}

std::optional<std::string> Simulator::StartServer() {
  if (options_.listen.empty()) return std::nullopt;
  const std::optional<platform::RemotePortUrl> url =
      platform::ParseRemotePortUrl(options_.listen, true);
  if (!url) return "--listen " + options_.listen + ": not " + platform::kRemotePortForm;
  server_ = std::make_unique<PortServer>(
      *url, pty_.slave, [this](JsonLine& line) { Log(line.Add("t", Seconds(Now()))); },
      [this](Line line, bool on) { HandleModemLine(line, on, Now()); });
  return server_->Listen();
}

// The line settings that reached the pseudo-terminal, logged whenever they change.
void Simulator::CheckLineSettings(SimDuration now) {
  if (pty_.slave < 0) return;
  const std::optional<LineSettings> settings = ReadLineSettings(pty_.slave);
  if (!settings || settings == lineSettings_) return;
  lineSettings_ = settings;
  Log(JsonLine()
          .Add("event", "line")
          .Add("t", Seconds(now))
          .Add("baud", std::uint64_t{settings->baud})
          .Add("data_bits", settings->dataBits)
          .Add("parity", settings->parity)
          .Add("stop_bits", settings->stopBits)
          .Add("flow", settings->flow));
}

void Simulator::Log(const JsonLine& line) {
  if (log_.is_open()) log_ << line.str() << std::endl;
}

void Simulator::Finish(SimDuration now) {
  if (server_) server_->Close();
  // Before the device goes: a simulator started next may get the same device path at once and
  // place its link, which this one must not remove.
  if (!options_.link.empty()) RemoveLink(options_.link, pty_.path);
  ClosePty(pty_);
  if (!options_.flashOut.empty() && !WriteFile(options_.flashOut, model_.flash())) {
    err_ << "vestrel-sim: cannot write " << options_.flashOut << "\n";
    failed_ = true;
  }
  const unsigned floorBaud = options_.paceBaud > 0 ? options_.paceBaud : kFloorBaudWithoutPacing;
  const double floorSeconds = static_cast<double>((bytesIn_ + bytesOut_) * 10) / floorBaud;
  if (!options_.quiet) {
    err_ << "vestrel-sim: " << stopReason_ << "; " << requests_ << " requests, " << probes_
         << " probes, " << violations_ << " violations; received " << bytesIn_ << " bytes, sent "
         << bytesOut_ << "; wire floor at " << floorBaud << " baud: " << floorSeconds << " s\n";
  }
  JsonLine line;
  line.Add("event", "exit")
      .Add("t", Seconds(now))
      .Add("reason", stopReason_)
      .Add("requests", requests_)
      .Add("probes", probes_)
      .Add("violations", violations_)
      .Add("bytes_in", bytesIn_)
      .Add("bytes_out", bytesOut_)
      .Add("floor_baud", std::uint64_t{floorBaud})
      .Add("wire_floor_s", floorSeconds)
      .Add("erased", model_.erasedSinceStart())
      .Add("programmed", model_.programmedSinceErase());
  if (model_.usedLength()) line.AddHex("used_length", *model_.usedLength(), 8);
  Log(line);
}

}  // namespace

int RunSimulator(const SimOptions& options, std::ostream& out, std::ostream& err) {
  Simulator simulator(options, err);
  return simulator.Run(out);
}

}  // namespace vestrel::sim
