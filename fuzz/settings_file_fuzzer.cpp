// Fuzz target: the port component's settings file reader, the record's conversions to line
// settings, and what TComPort's Open makes of the record it reads from the file.
//
// Input: the settings file's bytes, of any length.
//
// Invariants:
// - ReadParameterFile succeeds on any regular file and replaces exactly the leading
//   min(size, 20) bytes of the record, keeping the rest of the record it was given;
// - the record keeps every stored byte: encoding it again gives the bytes it was read from;
// - ReplaceInvalidFields gives a valid record that differs only in fields that were invalid,
//   and every conversion to a line setting stays within its table, an invalid field giving the
//   default's setting;
// - Open with StreamOn opens the record's port (1..256), sets exactly the line state and
//   time-outs of the record's settings (defaults for invalid fields, 0 for negative time-outs),
//   writes the record back in front of any further bytes of the file, and Close leaves no
//   thread running (the reader and writer are joined).
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "comport/comport.h"
#include "comport/v24_parameter.h"
#include "fuzz/fuzz_check.h"

namespace {

using namespace vestrel::comport;

int SettingsFd() {
  static const int fd = memfd_create("ComData.cfg", 0);
  FUZZ_CHECK(fd >= 0);
  return fd;
}

std::string SettingsPath() {
  return "/proc/self/fd/" + std::to_string(SettingsFd());
}

std::string WriteFile(const std::uint8_t* data, std::size_t size) {
  const int fd = SettingsFd();
  FUZZ_CHECK(ftruncate(fd, 0) == 0);
  FUZZ_CHECK(size == 0 || pwrite(fd, data, size, 0) == static_cast<ssize_t>(size));
  return SettingsPath();
}

std::vector<std::uint8_t> ReadBack() {
  std::vector<std::uint8_t> bytes(4096);
  const ssize_t n = pread(SettingsFd(), bytes.data(), bytes.size(), 0);
  FUZZ_CHECK(n >= 0);
  bytes.resize(static_cast<std::size_t>(n));
  return bytes;
}

// The line as the component leaves it: every line state and time-out set, in order.
struct Line {
  std::vector<vestrel::platform::DCB> states;
  std::vector<vestrel::platform::COMMTIMEOUTS> timeouts;
  std::vector<unsigned> opened;  // port numbers asked for
};

class LineDevice : public vestrel::platform::SerialDevice {
 public:
  explicit LineDevice(Line& line) : line_(line) {}
  const std::string& Path() const override { return path_; }
  vestrel::platform::SerialResult SetupComm(std::uint32_t, std::uint32_t) override { return {}; }
  vestrel::platform::SerialResult Purge(std::uint32_t) override { return {}; }
  vestrel::platform::SerialResult GetCommState(vestrel::platform::DCB& dcb) override {
    dcb = {};
    return {};
  }
  vestrel::platform::SerialResult SetCommState(const vestrel::platform::DCB& dcb) override {
    line_.states.push_back(dcb);
    return {};
  }
  vestrel::platform::SerialResult GetCommTimeouts(vestrel::platform::COMMTIMEOUTS& t) override {
    t = {};
    return {};
  }
  vestrel::platform::SerialResult SetCommTimeouts(
      const vestrel::platform::COMMTIMEOUTS& t) override {
    line_.timeouts.push_back(t);
    return {};
  }
  vestrel::platform::SerialResult SetDtr(bool) override { return {}; }
  vestrel::platform::SerialResult SetRts(bool) override { return {}; }
  vestrel::platform::SerialResult Read(std::span<std::uint8_t>) override { return {}; }
  vestrel::platform::SerialResult Write(std::span<const std::uint8_t> data) override {
    return {vestrel::platform::SerialStatus::Ok, data.size(), 0, {}};
  }
  vestrel::platform::SerialResult Drain(std::chrono::milliseconds) override { return {}; }
  // Nothing ever arrives; a short wait keeps the reader thread from spinning.
  vestrel::platform::SerialResult WaitReadable(std::chrono::milliseconds) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return {vestrel::platform::SerialStatus::TimedOut, 0, 0, {}};
  }
  vestrel::platform::SerialResult GetLineErrorCounters(
      vestrel::platform::LineErrorCounters&) override {
    return {vestrel::platform::SerialStatus::Unsupported, 0, 0, {}};
  }
  vestrel::platform::SerialResult ClearBreak() override { return {}; }

 private:
  Line& line_;
  std::string path_ = "/dev/fuzz-line";
};

std::size_t Threads() {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/task")) ++n;
  return n;
}

// A joined thread can stay listed for a moment while the kernel finishes its exit: the count
// must come back to `expected` soon, and a thread left running never lets it.
bool ThreadsSettleTo(std::size_t expected) {
  for (int i = 0; i < 1000; ++i) {
    if (Threads() == expected) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

// One component for all inputs: its constructor scans 256 ports. The scan sees an empty port
// directory, and every later open goes to a LineDevice.
TComPort& Component(Line& line) {
  static TComPort* component = [] {
    std::string dir = (std::filesystem::temp_directory_path() / "fuzz-ports-XXXXXX").string();
    FUZZ_CHECK(mkdtemp(dir.data()) != nullptr);
    setenv("VESTREL_PORT_DIR", dir.c_str(), 1);
    auto* port = new TComPort();
    rmdir(dir.c_str());  // only the scan looks at it
    return port;
  }();
  component->SetDeviceOpener([&line](unsigned number) {
    line.opened.push_back(number);
    vestrel::platform::OpenResult opened;
    opened.status = vestrel::platform::OpenStatus::Opened;
    opened.device = std::make_unique<LineDevice>(line);
    return opened;
  });
  return *component;
}

void CheckOpen(const std::uint8_t* data, std::size_t size) {
  Line line;
  TComPort& port = Component(line);
  V24ParameterTag start = DefaultV24Parameter();
  port.InitParameter(&start, false);  // may write the previous input's file: rewritten below
  const std::string path = WriteFile(data, size);
  port.SetStreamOn(true);
  port.SetDatei(path);
  const std::size_t threadsBefore = Threads();

  V24MessageQueue queue;
  FUZZ_CHECK(port.Open(&queue, -1, false) != INVALID_HANDLE_VALUE);
  port.Close();
  FUZZ_CHECK(ThreadsSettleTo(threadsBefore));

  // The record Open worked with: the default with the file's leading bytes.
  V24ParameterBytes bytes = EncodeV24Parameter(DefaultV24Parameter());
  const std::size_t read = std::min<std::size_t>(size, kV24ParameterSize);
  std::copy(data, data + read, bytes.begin());
  const V24ParameterTag r = DecodeV24Parameter(bytes);

  FUZZ_CHECK(line.opened.size() == 1 && line.opened[0] == r.Schnittstelle + 1u);
  FUZZ_CHECK(line.states.size() == 2 && line.timeouts.size() == 2);  // at Open and at Close
  const vestrel::platform::DCB& dcb = line.states[0];
  FUZZ_CHECK(dcb.BaudRate == BaudRateValue(r.Baudrate));
  FUZZ_CHECK(dcb.ByteSize == ByteSizeValue(r.DatenBits));
  FUZZ_CHECK(dcb.Parity == ParityCode(r.Paritaet));
  FUZZ_CHECK(dcb.StopBits == StopBitsCode(r.StopBits));
  FUZZ_CHECK(dcb.fNull == (SwitchOn(r.KeinNullZeichen) ? 1 : 0));
  const FlowControl flow = FlowControlOf(r.Handshake);
  FUZZ_CHECK(dcb.fOutxCtsFlow == (flow.OutxCtsFlow ? 1 : 0) && dcb.fOutX == (flow.OutX ? 1 : 0));
  FUZZ_CHECK(dcb.fRtsControl == (flow.RtsHandshake ? vestrel::platform::RTS_CONTROL_HANDSHAKE
                                                   : vestrel::platform::RTS_CONTROL_ENABLE));
  const auto& t = line.timeouts[0];
  FUZZ_CHECK(t.ReadTotalTimeoutConstant == static_cast<std::uint32_t>(std::max(r.RXTimeOut, 0)));
  FUZZ_CHECK(t.WriteTotalTimeoutConstant == static_cast<std::uint32_t>(std::max(r.TXTimeOut, 0)));

  // The file holds the opened record, then whatever followed it.
  const std::vector<std::uint8_t> after = ReadBack();
  FUZZ_CHECK(after.size() == std::max<std::size_t>(size, kV24ParameterSize));
  FUZZ_CHECK(std::equal(bytes.begin(), bytes.end(), after.begin()));
  if (size > kV24ParameterSize)
    FUZZ_CHECK(
        std::equal(after.begin() + kV24ParameterSize, after.end(), data + kV24ParameterSize));
  port.SetStreamOn(false);
}

bool InTable(std::uint32_t rate) {
  static constexpr std::uint32_t kRates[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
  return std::find(std::begin(kRates), std::end(kRates), rate) != std::end(kRates);
}

void CheckConversions(const V24ParameterTag& r) {
  constexpr V24ParameterTag kDefault = DefaultV24Parameter();
  const V24ParameterTag fixed = ReplaceInvalidFields(r);
  FUZZ_CHECK(IsValid(fixed));
  FUZZ_CHECK(IsValid(r) == (EncodeV24Parameter(fixed) == EncodeV24Parameter(r)));
  FUZZ_CHECK(fixed.DatenBits == (IsValid(r.DatenBits) ? r.DatenBits : kDefault.DatenBits));
  FUZZ_CHECK(fixed.Paritaet == (IsValid(r.Paritaet) ? r.Paritaet : kDefault.Paritaet));
  FUZZ_CHECK(fixed.StopBits == (IsValid(r.StopBits) ? r.StopBits : kDefault.StopBits));
  FUZZ_CHECK(fixed.Baudrate == (IsValid(r.Baudrate) ? r.Baudrate : kDefault.Baudrate));
  FUZZ_CHECK(fixed.Handshake == (IsValid(r.Handshake) ? r.Handshake : kDefault.Handshake));
  FUZZ_CHECK(fixed.RXTimeOut == r.RXTimeOut && fixed.TXTimeOut == r.TXTimeOut);
  FUZZ_CHECK(fixed.Schnittstelle == r.Schnittstelle && fixed.ReservedAt19 == r.ReservedAt19);
  FUZZ_CHECK(std::memcmp(fixed.ReservedAt5, r.ReservedAt5, sizeof r.ReservedAt5) == 0);

  FUZZ_CHECK(InTable(BaudRateValue(r.Baudrate)));
  FUZZ_CHECK(BaudRateValue(r.Baudrate) == BaudRateValue(fixed.Baudrate));
  FUZZ_CHECK(ByteSizeValue(r.DatenBits) == 7 || ByteSizeValue(r.DatenBits) == 8);
  FUZZ_CHECK(ByteSizeValue(r.DatenBits) == ByteSizeValue(fixed.DatenBits));
  FUZZ_CHECK(StopBitsCode(r.StopBits) <= 2 &&
             StopBitsCode(r.StopBits) == StopBitsCode(fixed.StopBits));
  FUZZ_CHECK(ParityCode(r.Paritaet) <= 4 && ParityCode(r.Paritaet) == ParityCode(fixed.Paritaet));
  FUZZ_CHECK(FlowControlOf(r.Handshake) == FlowControlOf(fixed.Handshake));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string path = WriteFile(data, size);

  // The record before the read: the default, but with a changed last byte, so that a short file
  // shows whether the tail is kept.
  V24ParameterTag before = DefaultV24Parameter();
  before.ReservedAt19 = 0xA5;
  V24ParameterTag record = before;
  const V24ParameterTag fallback{};
  FUZZ_CHECK(TV24Parameter::ReadParameterFile(path, &record, &fallback) == kParameterFileOk);

  const V24ParameterBytes old = EncodeV24Parameter(before);
  const V24ParameterBytes now = EncodeV24Parameter(record);
  const std::size_t read = std::min<std::size_t>(size, kV24ParameterSize);
  FUZZ_CHECK(std::equal(data, data + read, now.begin()));
  FUZZ_CHECK(std::equal(old.begin() + static_cast<std::ptrdiff_t>(read), old.end(),
                        now.begin() + static_cast<std::ptrdiff_t>(read)));
  FUZZ_CHECK(EncodeV24Parameter(DecodeV24Parameter(now)) == now);

  // The parameter object reads the same record through its file tie.
  TV24Parameter parameter;
  const V24ParameterTag* tied = parameter.GetParameter(true, path);
  const V24ParameterBytes defaults = EncodeV24Parameter(DefaultV24Parameter());
  const V24ParameterBytes viaObject = EncodeV24Parameter(*tied);
  FUZZ_CHECK(std::equal(data, data + read, viaObject.begin()));
  FUZZ_CHECK(std::equal(defaults.begin() + static_cast<std::ptrdiff_t>(read), defaults.end(),
                        viaObject.begin() + static_cast<std::ptrdiff_t>(read)));

  CheckConversions(record);
  if (size <= 4096) CheckOpen(data, size);
  return 0;
}
