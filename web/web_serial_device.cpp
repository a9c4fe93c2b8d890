#include "web/web_serial_device.h"

#include <emscripten.h>

#include <cstdlib>
#include <utility>

// The page's side of each call is Module.page.lines in serial_lines.js. Results: a count (0 or
// more) on success, or a negative code: kTimedOut, kGone when the port went away, kNotFound and
// kBusy for an open, and any other (-3 in the page) for a failure.

EM_ASYNC_JS(int, vestrel_line_open,
            (const char* label, double baudRate, int dataBits, int stopBits, int parity), {
              return Module.page.lines.open(
                  UTF8ToString(label),
                  Module.page.lines.options(baudRate, dataBits, stopBits, parity));
            });
EM_ASYNC_JS(int, vestrel_line_reopen,
            (int line, double baudRate, int dataBits, int stopBits, int parity), {
              return Module.page.lines.reopen(
                  line, Module.page.lines.options(baudRate, dataBits, stopBits, parity));
            });
EM_ASYNC_JS(void, vestrel_line_close, (int line), { await Module.page.lines.close(line); });
// Takes what has arrived without suspending the core: most reads find their bytes waiting.
EM_JS(int, vestrel_line_take, (int line, std::uint8_t* buffer, int size), {
  const bytes = Module.page.lines.take(line, size);
  if (typeof bytes == "number") return bytes;
  HEAPU8.set(bytes, buffer);
  return bytes.length;
});
EM_ASYNC_JS(int, vestrel_line_write, (int line, const std::uint8_t* data, int size, double limitMs),
            { return Module.page.lines.write(line, HEAPU8.slice(data, data + size), limitMs); });
EM_ASYNC_JS(int, vestrel_line_wait, (int line, double limitMs),
            { return Module.page.lines.waitReadable(line, limitMs); });
EM_JS(void, vestrel_line_clear_input, (int line), { Module.page.lines.clearInput(line); });
EM_JS(int, vestrel_line_state, (int line), { return Module.page.lines.state(line); });
EM_ASYNC_JS(int, vestrel_line_signal, (int line, const char* name, int on),
            { return Module.page.lines.setSignal(line, UTF8ToString(name), on != 0); });
EM_JS(int, vestrel_line_errors, (int line, const char* kind),
      { return Module.page.lines.errorCount(line, UTF8ToString(kind)); });
EM_JS(char*, vestrel_line_text, (int line, int failing), {
  const lines = Module.page.lines;
  const text = failing ? lines.failing(line) : lines.errorText(line);
  const size = lengthBytesUTF8(text) + 1;
  const copy = _malloc(size);
  stringToUTF8(text, copy, size);
  return copy;
});

namespace vestrel::web {
namespace {

using platform::SerialResult;
using platform::SerialStatus;

constexpr int kTimedOut = -1;
constexpr int kGone = -2;
constexpr int kNotFound = -4;
constexpr int kBusy = -5;

// The page's text for what last went wrong on `line` (0: the last open), or with `failing` why
// a port the browser still offers counts as lost.
std::string ErrorText(int line, bool failing = false) {
  char* text = vestrel_line_text(line, failing ? 1 : 0);
  std::string copy(text);
  std::free(text);
  return copy;
}

bool SameLine(const platform::DCB& a, const platform::DCB& b) {
  return a.BaudRate == b.BaudRate && a.ByteSize == b.ByteSize && a.Parity == b.Parity &&
         a.StopBits == b.StopBits;
}

// Web Serial knows 7 or 8 data bits, no, even or odd parity, and 1 or 2 stop bits.
bool WebSerialCanSet(const platform::DCB& dcb) {
  return dcb.BaudRate > 0 && (dcb.ByteSize == 7 || dcb.ByteSize == 8) &&
         (dcb.Parity == platform::NOPARITY || dcb.Parity == platform::ODDPARITY ||
          dcb.Parity == platform::EVENPARITY) &&
         (dcb.StopBits == platform::ONESTOPBIT || dcb.StopBits == platform::TWOSTOPBITS);
}

int StopBitCount(const platform::DCB& dcb) {
  return dcb.StopBits == platform::TWOSTOPBITS ? 2 : 1;
}

}  // namespace

platform::OpenResult WebSerialDevice::Open(const std::string& label, std::uint32_t baudRate) {
  platform::OpenResult result;
  const int line = vestrel_line_open(label.c_str(), baudRate, 8, 1, platform::NOPARITY);
  if (line > 0) {
    result.status = platform::OpenStatus::Opened;
    result.device.reset(new WebSerialDevice(line, label, baudRate));
    return result;
  }
  result.status = line == kNotFound ? platform::OpenStatus::NotFound
                  : line == kBusy   ? platform::OpenStatus::Busy
                                    : platform::OpenStatus::Failed;
  result.text = ErrorText(0);
  return result;
}

WebSerialDevice::WebSerialDevice(int line, std::string label, std::uint32_t baudRate)
    : line_(line), label_(std::move(label)) {
  dcb_.DCBlength = sizeof(dcb_);
  dcb_.BaudRate = baudRate;
  dcb_.fBinary = 1;
  dcb_.ByteSize = 8;
  dcb_.Parity = platform::NOPARITY;
  dcb_.StopBits = platform::ONESTOPBIT;
}

WebSerialDevice::~WebSerialDevice() {
  vestrel_line_close(line_);
}

SerialResult WebSerialDevice::Result(int code, std::size_t count) const {
  if (code >= 0) return {SerialStatus::Ok, count, 0, {}};
  if (code == kTimedOut) return {SerialStatus::TimedOut, count, 0, {}};
  if (code != kGone) return {SerialStatus::Failed, count, 0, ErrorText(line_)};
  const std::string failing = FailingText();
  return {SerialStatus::Gone, count, 0, failing.empty() ? ErrorText(line_) : failing};
}

std::string WebSerialDevice::FailingText() const {
  const std::string failing = ErrorText(line_, true);
  if (failing.empty()) return {};
  return "Reading from the serial device " + label_ + " kept failing: " + failing +
         "; the port is given up";
}

SerialResult WebSerialDevice::Purge(std::uint32_t flags) {
  if ((flags & platform::PURGE_RXCLEAR) != 0) vestrel_line_clear_input(line_);
  return {};
}

SerialResult WebSerialDevice::GetCommState(platform::DCB& dcb) {
  dcb = dcb_;
  return {};
}

SerialResult WebSerialDevice::SetCommState(const platform::DCB& dcb) {
  if (!WebSerialCanSet(dcb))
    return {SerialStatus::Unsupported, 0, 0, "Web Serial cannot set this line"};
  if (!SameLine(dcb, dcb_)) {
    const int code =
        vestrel_line_reopen(line_, dcb.BaudRate, dcb.ByteSize, StopBitCount(dcb), dcb.Parity);
    if (code < 0) return Result(code);
  }
  dcb_ = dcb;
  // Lines under handshake control keep what the port does with them.
  if (dcb.fDtrControl != platform::DTR_CONTROL_HANDSHAKE) {
    if (SerialResult r = SetDtr(dcb.fDtrControl == platform::DTR_CONTROL_ENABLE); !r.ok()) return r;
  }
  if (dcb.fRtsControl == platform::RTS_CONTROL_DISABLE ||
      dcb.fRtsControl == platform::RTS_CONTROL_ENABLE) {
    return SetRts(dcb.fRtsControl == platform::RTS_CONTROL_ENABLE);
  }
  return {};
}

SerialResult WebSerialDevice::GetCommTimeouts(platform::COMMTIMEOUTS& timeouts) {
  timeouts = timeouts_;
  return {};
}

SerialResult WebSerialDevice::SetCommTimeouts(const platform::COMMTIMEOUTS& timeouts) {
  timeouts_ = timeouts;
  return {};
}

SerialResult WebSerialDevice::SetSignal(const char* name, bool on) {
  return Result(vestrel_line_signal(line_, name, on ? 1 : 0));
}

SerialResult WebSerialDevice::SetDtr(bool on) {
  return SetSignal("dataTerminalReady", on);
}

SerialResult WebSerialDevice::SetRts(bool on) {
  return SetSignal("requestToSend", on);
}

double WebSerialDevice::FirstByteWait(std::size_t size) const {
  const platform::ReadPlan plan = platform::PlanRead(timeouts_, size);
  return plan.total ? static_cast<double>(plan.total->count()) : -1;
}

SerialResult WebSerialDevice::Read(std::span<std::uint8_t> buffer) {
  if (buffer.empty()) return {};
  const auto take = [&] {
    return vestrel_line_take(line_, buffer.data(), static_cast<int>(buffer.size()));
  };
  int code = take();
  if (const double wait = FirstByteWait(buffer.size()); code == 0 && wait != 0) {
    // Nothing has arrived: the core waits for the first byte, and the page runs meanwhile.
    if (const int waited = vestrel_line_wait(line_, wait); waited != kTimedOut) code = take();
  }
  return Result(code, code > 0 ? static_cast<std::size_t>(code) : 0);
}

SerialResult WebSerialDevice::Write(std::span<const std::uint8_t> data) {
  if (data.empty()) return {};
  const double limit = static_cast<double>(timeouts_.WriteTotalTimeoutMultiplier) *
                           static_cast<double>(data.size()) +
                       timeouts_.WriteTotalTimeoutConstant;
  const int code =
      vestrel_line_write(line_, data.data(), static_cast<int>(data.size()), limit > 0 ? limit : -1);
  return Result(code, code > 0 ? static_cast<std::size_t>(code) : 0);
}

// A write ends when the browser has taken the bytes: nothing is left to wait for.
SerialResult WebSerialDevice::Drain(std::chrono::milliseconds) {
  return Result(vestrel_line_state(line_));
}

SerialResult WebSerialDevice::WaitReadable(std::chrono::milliseconds limit) {
  return Result(vestrel_line_wait(line_, static_cast<double>(limit.count())));
}

SerialResult WebSerialDevice::GetLineErrorCounters(platform::LineErrorCounters& counters) {
  const auto count = [this](const char* kind) {
    return static_cast<std::uint32_t>(vestrel_line_errors(line_, kind));
  };
  counters.frame = count("FramingError");
  counters.parity = count("ParityError");
  counters.breaks = count("BreakError");
  counters.bufferOverrun = count("BufferOverrunError");
  counters.overrun = 0;  // the browser does not tell the UART's overrun apart
  return {};
}

std::string WebSerialDevice::GoneReason() const {
  const std::string failing = FailingText();
  return failing.empty() ? SerialDevice::GoneReason() : failing + ".";
}

SerialResult WebSerialDevice::ClearBreak() {
  return SetSignal("break", false);
}

}  // namespace vestrel::web
