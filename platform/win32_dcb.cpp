#include "platform/win32_dcb.h"

#include <utility>

namespace vestrel::platform::win32 {
const char* CheckFlagWidths(const platform::DCB& dcb) {
  const std::pair<std::uint8_t, const char*> oneBit[] = {
      {dcb.fBinary, "fBinary"},
      {dcb.fParity, "fParity"},
      {dcb.fOutxCtsFlow, "fOutxCtsFlow"},
      {dcb.fOutxDsrFlow, "fOutxDsrFlow"},
      {dcb.fDsrSensitivity, "fDsrSensitivity"},
      {dcb.fTXContinueOnXoff, "fTXContinueOnXoff"},
      {dcb.fOutX, "fOutX"},
      {dcb.fInX, "fInX"},
      {dcb.fErrorChar, "fErrorChar"},
      {dcb.fNull, "fNull"},
      {dcb.fAbortOnError, "fAbortOnError"}};
  for (const auto& [value, name] : oneBit)
    if (value > 1) return name;
  if (dcb.fDtrControl > 3) return "fDtrControl";
  if (dcb.fRtsControl > 3) return "fRtsControl";
  return nullptr;
}

::DCB ToSystemDcb(const platform::DCB& dcb) {
  ::DCB d{};
  d.DCBlength = sizeof(::DCB);
  d.BaudRate = dcb.BaudRate;
  d.fBinary = dcb.fBinary & 1u;
  d.fParity = dcb.fParity & 1u;
  d.fOutxCtsFlow = dcb.fOutxCtsFlow & 1u;
  d.fOutxDsrFlow = dcb.fOutxDsrFlow & 1u;
  d.fDtrControl = dcb.fDtrControl & 3u;
  d.fDsrSensitivity = dcb.fDsrSensitivity & 1u;
  d.fTXContinueOnXoff = dcb.fTXContinueOnXoff & 1u;
  d.fOutX = dcb.fOutX & 1u;
  d.fInX = dcb.fInX & 1u;
  d.fErrorChar = dcb.fErrorChar & 1u;
  d.fNull = dcb.fNull & 1u;
  d.fRtsControl = dcb.fRtsControl & 3u;
  d.fAbortOnError = dcb.fAbortOnError & 1u;
  d.XonLim = dcb.XonLim;
  d.XoffLim = dcb.XoffLim;
  d.ByteSize = dcb.ByteSize;
  d.Parity = dcb.Parity;
  d.StopBits = dcb.StopBits;
  d.XonChar = dcb.XonChar;
  d.XoffChar = dcb.XoffChar;
  d.ErrorChar = dcb.ErrorChar;
  d.EofChar = dcb.EofChar;
  d.EvtChar = dcb.EvtChar;
  return d;
}

platform::DCB FromSystemDcb(const ::DCB& d) {
  auto flag = [](unsigned value) { return static_cast<std::uint8_t>(value); };
  platform::DCB dcb;
  dcb.DCBlength = d.DCBlength;
  dcb.BaudRate = d.BaudRate;
  dcb.fBinary = flag(d.fBinary);
  dcb.fParity = flag(d.fParity);
  dcb.fOutxCtsFlow = flag(d.fOutxCtsFlow);
  dcb.fOutxDsrFlow = flag(d.fOutxDsrFlow);
  dcb.fDtrControl = flag(d.fDtrControl);
  dcb.fDsrSensitivity = flag(d.fDsrSensitivity);
  dcb.fTXContinueOnXoff = flag(d.fTXContinueOnXoff);
  dcb.fOutX = flag(d.fOutX);
  dcb.fInX = flag(d.fInX);
  dcb.fErrorChar = flag(d.fErrorChar);
  dcb.fNull = flag(d.fNull);
  dcb.fRtsControl = flag(d.fRtsControl);
  dcb.fAbortOnError = flag(d.fAbortOnError);
  dcb.XonLim = d.XonLim;
  dcb.XoffLim = d.XoffLim;
  dcb.ByteSize = d.ByteSize;
  dcb.Parity = d.Parity;
  dcb.StopBits = d.StopBits;
  dcb.XonChar = d.XonChar;
  dcb.XoffChar = d.XoffChar;
  dcb.ErrorChar = d.ErrorChar;
  dcb.EofChar = d.EofChar;
  dcb.EvtChar = d.EvtChar;
  return dcb;
}

::COMMTIMEOUTS ToSystemTimeouts(const platform::COMMTIMEOUTS& t) {
  return {t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant,
          t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant};
}

platform::COMMTIMEOUTS FromSystemTimeouts(const ::COMMTIMEOUTS& t) {
  return {t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant,
          t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant};
}

}  // namespace vestrel::platform::win32
