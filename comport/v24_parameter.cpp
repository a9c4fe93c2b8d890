#include "comport/v24_parameter.h"

#include <cstring>

#include "platform/record_file.h"

namespace vestrel::comport {

namespace {

constexpr std::array<std::uint32_t, kBaudTagCount> kBaudRates = {1200,  2400,  4800,  9600,
                                                                 19200, 38400, 57600, 115200};
constexpr std::array<std::uint8_t, kDatBitTagCount> kByteSizes = {7, 8};

void PutLittleEndian(std::uint8_t* at, std::int32_t value) {
  const auto v = static_cast<std::uint32_t>(value);
  for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::int32_t GetLittleEndian(const std::uint8_t* at) {
  std::uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= static_cast<std::uint32_t>(at[i]) << (8 * i);
  return static_cast<std::int32_t>(v);
}

template <typename Enum>
Enum ValidOr(Enum value, Enum fallback) {
  return IsValid(value) ? value : fallback;
}

std::uint8_t SwitchOr(std::uint8_t stored, std::uint8_t fallback) {
  return IsValidSwitch(stored) ? stored : fallback;
}

}  // namespace

V24ParameterBytes EncodeV24Parameter(const V24ParameterTag& Record) {
  V24ParameterBytes b{};
  b[0] = Record.DatenBits;
  b[1] = Record.Paritaet;
  b[2] = Record.StopBits;
  b[3] = Record.Baudrate;
  b[4] = Record.Handshake;
  std::memcpy(&b[5], Record.ReservedAt5, sizeof Record.ReservedAt5);
  PutLittleEndian(&b[8], Record.RXTimeOut);
  PutLittleEndian(&b[12], Record.TXTimeOut);
  b[16] = Record.Schnittstelle;
  b[17] = Record.KeinNullZeichen;
  b[18] = Record.KeinString;
  b[19] = Record.ReservedAt19;
  return b;
}

V24ParameterTag DecodeV24Parameter(const V24ParameterBytes& Bytes) {
  V24ParameterTag r;
  r.DatenBits = DatBitTag{Bytes[0]};
  r.Paritaet = ParitaetTag{Bytes[1]};
  r.StopBits = StopBitTag{Bytes[2]};
  r.Baudrate = BaudTag{Bytes[3]};
  r.Handshake = HandshakeTag{Bytes[4]};
  std::memcpy(r.ReservedAt5, &Bytes[5], sizeof r.ReservedAt5);
  r.RXTimeOut = GetLittleEndian(&Bytes[8]);
  r.TXTimeOut = GetLittleEndian(&Bytes[12]);
  r.Schnittstelle = ComTag{Bytes[16]};
  r.KeinNullZeichen = Bytes[17];
  r.KeinString = Bytes[18];
  r.ReservedAt19 = Bytes[19];
  return r;
}

bool IsValid(const V24ParameterTag& Record) {
  return IsValid(Record.DatenBits) && IsValid(Record.Paritaet) && IsValid(Record.StopBits) &&
         IsValid(Record.Baudrate) && IsValid(Record.Handshake) &&
         IsValidSwitch(Record.KeinNullZeichen) && IsValidSwitch(Record.KeinString);
}

V24ParameterTag ReplaceInvalidFields(const V24ParameterTag& Record) {
  constexpr V24ParameterTag kDefault = DefaultV24Parameter();
  V24ParameterTag r = Record;
  r.DatenBits = ValidOr(r.DatenBits, kDefault.DatenBits);
  r.Paritaet = ValidOr(r.Paritaet, kDefault.Paritaet);
  r.StopBits = ValidOr(r.StopBits, kDefault.StopBits);
  r.Baudrate = ValidOr(r.Baudrate, kDefault.Baudrate);
  r.Handshake = ValidOr(r.Handshake, kDefault.Handshake);
  r.KeinNullZeichen = SwitchOr(r.KeinNullZeichen, kDefault.KeinNullZeichen);
  r.KeinString = SwitchOr(r.KeinString, kDefault.KeinString);
  return r;
}

std::uint32_t BaudRateValue(BaudTag Value) {
  return kBaudRates[ValidOr(Value, DefaultV24Parameter().Baudrate)];
}

std::uint8_t ByteSizeValue(DatBitTag Value) {
  return kByteSizes[ValidOr(Value, DefaultV24Parameter().DatenBits)];
}

// The stop-bit and parity codes of the line equal the ordinals.
std::uint8_t StopBitsCode(StopBitTag Value) {
  return ValidOr(Value, DefaultV24Parameter().StopBits);
}

std::uint8_t ParityCode(ParitaetTag Value) {
  return ValidOr(Value, DefaultV24Parameter().Paritaet);
}

FlowControl FlowControlOf(HandshakeTag Value) {
  switch (ValidOr(Value, DefaultV24Parameter().Handshake)) {
    case RTS_CTS:
      return {.OutxCtsFlow = true, .OutX = false, .RtsHandshake = true};
    case XonXoff:
    case WTW_XonXoff:
      return {.OutxCtsFlow = false, .OutX = true, .RtsHandshake = false};
    case NoHandshake:
    default:
      return {};
  }
}

V24ParameterTag* TV24Parameter::GetParameter(bool UseFile, const std::string& FileName) {
  use_file_ = UseFile;
  file_name_ = FileName;
  if (FileTied()) ReadParameterFile(file_name_, &record_, &record_);
  return &record_;
}

void TV24Parameter::SetParameter(const V24ParameterTag* Record) {
  record_ = *Record;
  if (FileTied()) WriteParameterFile(file_name_, &record_);
}

int TV24Parameter::ReadParameterFile(const std::string& FileName, V24ParameterTag* Record,
                                     const V24ParameterTag* Fallback) {
  V24ParameterBytes bytes = EncodeV24Parameter(*Record);
  if (!platform::ReadRecordFile(FileName, bytes)) {
    *Record = *Fallback;
    WriteParameterFile(FileName, Record);
    return kParameterFileNotOpened;
  }
  *Record = DecodeV24Parameter(bytes);
  return kParameterFileOk;
}

int TV24Parameter::WriteParameterFile(const std::string& FileName, const V24ParameterTag* Record) {
  return platform::WriteRecordFile(FileName, EncodeV24Parameter(*Record)) ? kParameterFileOk
                                                                          : kParameterFileNotOpened;
}

}  // namespace vestrel::comport
