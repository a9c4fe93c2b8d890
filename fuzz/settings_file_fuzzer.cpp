// Fuzz target: the port component's settings file reader and the record's conversions to line
// settings.
//
// Input: the settings file's bytes, of any length.
//
// Invariants:
// - ReadParameterFile succeeds on any regular file and replaces exactly the leading
//   min(size, 20) bytes of the record, keeping the rest of the record it was given;
// - the record keeps every stored byte: encoding it again gives the bytes it was read from;
// - ReplaceInvalidFields gives a valid record that differs only in fields that were invalid,
//   and every conversion to a line setting stays within its table, an invalid field giving the
//   default's setting.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "comport/v24_parameter.h"
#include "fuzz/fuzz_check.h"

namespace {

using namespace vestrel::comport;

std::string WriteFile(const std::uint8_t* data, std::size_t size) {
  static const int fd = memfd_create("ComData.cfg", 0);
  FUZZ_CHECK(fd >= 0);
  FUZZ_CHECK(ftruncate(fd, 0) == 0);
  FUZZ_CHECK(size == 0 || pwrite(fd, data, size, 0) == static_cast<ssize_t>(size));
  return "/proc/self/fd/" + std::to_string(fd);
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
  FUZZ_CHECK(StopBitsCode(r.StopBits) <= 2 && StopBitsCode(r.StopBits) == StopBitsCode(fixed.StopBits));
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
  return 0;
}
