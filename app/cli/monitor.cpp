#include "app/cli/monitor.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "app/cli/image_export.h"
#include "app/stop_signals.h"
#include "comport/comport.h"
#include "platform/port_map.h"

namespace vestrel::cli {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using comport::V24Message;

// Posted to the monitor's own queue when input is waiting; outside the component's values.
constexpr std::uint32_t kInputMessage = 0x8000 + 1;
// A quiet monitor wakes this often to notice Ctrl-C and the end of its time.
constexpr auto kIdleWait = 250ms;
// While input waits for the writer, it is offered again this often.
constexpr auto kRetryWait = 10ms;
// Bytes fetched per Read; a read that finds nothing waits about this many ms for them.
constexpr unsigned long kReadChunk = 256;

// Reads `in` line by line on its own thread and hands the text over, with its line ends, as
// it comes. Each piece is announced to `wake`.
class InputPump {
 public:
  InputPump(std::istream& in, comport::V24NotifyTarget& wake)
      : shared_(std::make_shared<Shared>()) {
    shared_->wake = &wake;
    thread_ = std::thread(&InputPump::Pump, std::ref(in), shared_);
  }

  // A thread that still waits for input is left behind; it no longer announces anything.
  ~InputPump() {
    bool ended = false;
    {
      std::lock_guard lock(shared_->mutex);
      shared_->wake = nullptr;
      ended = shared_->ended;
    }
    if (ended)
      thread_.join();
    else
      thread_.detach();
  }

  InputPump(const InputPump&) = delete;
  InputPump& operator=(const InputPump&) = delete;

  // Moves the text that came so far to the end of `pending`.
  void TakeInto(std::string& pending) {
    std::lock_guard lock(shared_->mutex);
    pending += shared_->text;
    shared_->text.clear();
  }

 private:
  struct Shared {
    std::mutex mutex;
    std::string text;
    bool ended = false;
    comport::V24NotifyTarget* wake = nullptr;
  };

  static void Pump(std::istream& in, std::shared_ptr<Shared> shared) {
    std::string line;
    while (std::getline(in, line)) {
      if (!in.eof()) line.push_back('\n');
      std::lock_guard lock(shared->mutex);
      shared->text += line;
      if (shared->wake) shared->wake->Post(kInputMessage, 0, 0);
    }
    std::lock_guard lock(shared->mutex);
    shared->ended = true;
  }

  std::shared_ptr<Shared> shared_;
  std::thread thread_;
};

std::optional<comport::BaudTag> BaudTagOf(std::uint32_t rate) {
  for (int tag = 0; tag < comport::kBaudTagCount; ++tag) {
    const auto baud = static_cast<comport::BaudTag>(tag);
    if (comport::BaudRateValue(baud) == rate) return baud;
  }
  return std::nullopt;
}

class Monitor {
 public:
  Monitor(const MonitorOptions& options, std::ostream& out, std::ostream& err)
      : options_(options), out_(out), err_(err) {}

  std::string PortName() const {
    return options_.devicePath.empty() ? platform::PortDisplayName(options_.comNumber)
                                       : options_.devicePath;
  }

  bool Open(comport::BaudTag baud) {
    port_.SetDeviceOpener([this](unsigned number) { return OpenDevice(number); });
    comport::V24ParameterTag record = comport::DefaultV24Parameter();
    record.Baudrate = baud;
    record.KeinString = 1;  // the bytes as they came, nothing appended
    record.Schnittstelle = static_cast<comport::ComTag>(options_.comNumber - 1);
    port_.InitParameter(&record, false);
    if (port_.Open(&queue_, -1, false) != comport::INVALID_HANDLE_VALUE) return true;
    err_ << "vestrel-cli: cannot open " << PortName() << ": " << openFailure_ << '\n';
    return false;
  }

  // Until a stop signal, the deadline or the line hanging up; returns the exit code.
  int Run(std::istream& in, std::optional<Clock::time_point> deadline) {
    InputPump input(in, queue_);
    std::string pending;
    int exitCode = kExitOk;
    for (;;) {
      if (app::StopSignals::Stopped()) {
        // Ctrl-C is the monitor's way to end; another signal is the process being stopped.
        const bool interrupt = app::StopSignals::ExitCode() == 128 + SIGINT;
        err_ << (interrupt ? "[interrupted]" : "[" + app::StopSignals::Reason() + "]") << '\n';
        if (!interrupt) exitCode = app::StopSignals::ExitCode();
        break;
      }
      if (port_.GetLineGone()) {
        Fetch();  // what came before the hang-up
        err_ << "[" << port_.GetLineGoneReason() << "]\n";
        exitCode = kExitFailure;
        break;
      }
      const auto now = Clock::now();
      if (deadline && now >= *deadline) break;
      auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(
          pending.empty() ? kIdleWait : kRetryWait);
      if (deadline)
        wait = std::min(wait, std::chrono::ceil<std::chrono::milliseconds>(*deadline - now));
      if (const std::optional<V24Message> message = queue_.Take(wait)) Handle(*message);
      input.TakeInto(pending);
      if (!pending.empty()) Send(pending);
    }
    port_.Close();
    return exitCode;
  }

 private:
  platform::OpenResult OpenDevice(unsigned number) {
    std::optional<std::string> path = options_.devicePath;
    if (options_.devicePath.empty()) path = platform::PortMap::FromEnvironment().DevicePath(number);
    if (!path) {
      openFailure_ = "no device is mapped to it";
      return {};
    }
    platform::OpenResult opened = platform::OpenSerialDevice(*path);
    if (opened.status == platform::OpenStatus::Busy)
      openFailure_ = "another program holds it";
    else if (opened.status != platform::OpenStatus::Opened)
      openFailure_ = opened.text.empty() ? "not a serial device" : opened.text;
    return opened;
  }

  void Handle(const V24Message& message) {
    switch (message.Msg) {
      case comport::WM_V24_RXCHAR:
        Fetch();
        break;
      case comport::WM_V24_FRAME:
        err_ << "[framing error]\n";
        break;
      case comport::WM_V24_OVERRUN:
        err_ << "[receive overrun]\n";
        break;
      case comport::WM_V24_RXPARITY:
        err_ << "[parity error]\n";
        break;
      default:
        break;  // input: taken after every message
    }
  }

  void Fetch() {
    char buffer[kReadChunk];
    int n = 0;
    do {
      n = port_.Read(buffer, kReadChunk);
      if (n > 0) out_.write(buffer, n);
    } while (n == static_cast<int>(kReadChunk));
    out_.flush();
  }

  // Hands the next block of `pending` to the writer; a busy writer gets it again later.
  void Send(std::string& pending) {
    const std::size_t size = std::min(pending.size(), comport::kTxBufferSize);
    const int result = port_.Write(pending.data(), static_cast<int>(size), true);
    if (result >= 0) {
      pending.erase(0, size);
    } else if (result == comport::kV24WriteError) {
      err_ << "[write error: bytes did not go out]\n";
      port_.GetWriteStatus();
    } else if (result != comport::kV24NotReady) {
      pending.clear();
    }
  }

  const MonitorOptions& options_;
  std::ostream& out_;
  std::ostream& err_;
  comport::V24MessageQueue queue_;  // outlives the port's threads: declared before the port
  comport::TComPort port_;
  std::string openFailure_ = "not available";
};

}  // namespace

bool IsMonitorBaudRate(std::uint32_t rate) {
  return BaudTagOf(rate).has_value();
}

int RunMonitor(const MonitorOptions& options, std::istream& in, std::ostream& out,
               std::ostream& err) {
  const std::optional<comport::BaudTag> baud = BaudTagOf(options.baud);
  if (!baud) {
    err << "vestrel-cli: --monitor: " << options.baud
        << " is not one of the baud rates 1200 to 115200\n";
    return kExitUsage;
  }
  if (options.devicePath.empty() &&
      (options.comNumber < 1 || options.comNumber > platform::kMaxPortNumber)) {
    err << "vestrel-cli: --monitor: COM" << options.comNumber << " is not a port number\n";
    return kExitUsage;
  }

  // Held from before the open: a stop signal must never leave the port marked exclusive.
  app::StopSignals stopSignals;
  Monitor monitor(options, out, err);
  if (!monitor.Open(*baud)) return kExitFailure;
  err << "Monitoring " << monitor.PortName() << " at " << options.baud << " baud; ";
  if (options.seconds > 0)
    err << "ends after " << options.seconds << " s or on Ctrl-C.\n";
  else
    err << "Ctrl-C ends.\n";

  std::optional<Clock::time_point> deadline;
  if (options.seconds > 0) deadline = Clock::now() + std::chrono::seconds(options.seconds);
  return monitor.Run(in, deadline);
}

}  // namespace vestrel::cli
