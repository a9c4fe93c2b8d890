// Line parameters of the port component: the six enumerations, the 20-byte record
// V24ParameterTag (in memory and, byte for byte, the settings file), the parameter objects
// TV24Parameter and TDlgParameter, and the mapping of the record to line settings.
//
// Damaged or foreign settings files. The file is shared with other users of the component, so a
// record read from it keeps every byte as stored: in memory, and when it is written back. A byte
// outside its enumeration (or a switch byte other than 0 and 1) has no line setting; wherever a
// field is turned into one, it counts as that field's default (DefaultV24Parameter()). The
// conversions below do that themselves, so no stored byte can select past the end of a table;
// IsValid and ReplaceInvalidFields let callers test or show a record the same way.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>

#include "comport/component_base.h"

namespace vestrel::comport {

// Each enumeration is stored in one byte; ordinals run from 0 in the order listed. Form
// descriptions and settings files refer to these identifiers and ordinals, so neither changes.

enum DatBitTag : std::uint8_t { D_7, D_8 };

enum ParitaetTag : std::uint8_t { NoParity, Odd, Even, Mark, Space };

enum StopBitTag : std::uint8_t { S_1, S1_5, S_2 };

// <termios.h> defines B115200 as a macro. The definition below keeps its spelling whichever was
// included first; a file that includes <termios.h> must not spell the enumerator out after it
// (the macro would replace it), but can use BaudTag{7} or the conversions below.
#pragma push_macro("B115200")
#undef B115200
enum BaudTag : std::uint8_t {
  B__1200,
  B__2400,
  B__4800,
  B__9600,
  B_19200,
  B_38400,
  B_57600,
  B115200
};
#pragma pop_macro("B115200")

enum HandshakeTag : std::uint8_t { NoHandshake, RTS_CTS, XonXoff, WTW_XonXoff };

// Com__1 (COM1, ordinal 0) .. Com256 (COM256, ordinal 255): "Com" and the port number
// right-aligned in three characters, padded with underscores. X is applied to each identifier.
// clang-format off
#define VESTREL_COMPORT_COM_TAGS(X) \
  X(Com__1) X(Com__2) X(Com__3) X(Com__4) X(Com__5) X(Com__6) X(Com__7) X(Com__8) \
  X(Com__9) X(Com_10) X(Com_11) X(Com_12) X(Com_13) X(Com_14) X(Com_15) X(Com_16) \
  X(Com_17) X(Com_18) X(Com_19) X(Com_20) X(Com_21) X(Com_22) X(Com_23) X(Com_24) \
  X(Com_25) X(Com_26) X(Com_27) X(Com_28) X(Com_29) X(Com_30) X(Com_31) X(Com_32) \
  X(Com_33) X(Com_34) X(Com_35) X(Com_36) X(Com_37) X(Com_38) X(Com_39) X(Com_40) \
  X(Com_41) X(Com_42) X(Com_43) X(Com_44) X(Com_45) X(Com_46) X(Com_47) X(Com_48) \
  X(Com_49) X(Com_50) X(Com_51) X(Com_52) X(Com_53) X(Com_54) X(Com_55) X(Com_56) \
  X(Com_57) X(Com_58) X(Com_59) X(Com_60) X(Com_61) X(Com_62) X(Com_63) X(Com_64) \
  X(Com_65) X(Com_66) X(Com_67) X(Com_68) X(Com_69) X(Com_70) X(Com_71) X(Com_72) \
  X(Com_73) X(Com_74) X(Com_75) X(Com_76) X(Com_77) X(Com_78) X(Com_79) X(Com_80) \
  X(Com_81) X(Com_82) X(Com_83) X(Com_84) X(Com_85) X(Com_86) X(Com_87) X(Com_88) \
  X(Com_89) X(Com_90) X(Com_91) X(Com_92) X(Com_93) X(Com_94) X(Com_95) X(Com_96) \
  X(Com_97) X(Com_98) X(Com_99) X(Com100) X(Com101) X(Com102) X(Com103) X(Com104) \
  X(Com105) X(Com106) X(Com107) X(Com108) X(Com109) X(Com110) X(Com111) X(Com112) \
  X(Com113) X(Com114) X(Com115) X(Com116) X(Com117) X(Com118) X(Com119) X(Com120) \
  X(Com121) X(Com122) X(Com123) X(Com124) X(Com125) X(Com126) X(Com127) X(Com128) \
  X(Com129) X(Com130) X(Com131) X(Com132) X(Com133) X(Com134) X(Com135) X(Com136) \
  X(Com137) X(Com138) X(Com139) X(Com140) X(Com141) X(Com142) X(Com143) X(Com144) \
  X(Com145) X(Com146) X(Com147) X(Com148) X(Com149) X(Com150) X(Com151) X(Com152) \
  X(Com153) X(Com154) X(Com155) X(Com156) X(Com157) X(Com158) X(Com159) X(Com160) \
  X(Com161) X(Com162) X(Com163) X(Com164) X(Com165) X(Com166) X(Com167) X(Com168) \
  X(Com169) X(Com170) X(Com171) X(Com172) X(Com173) X(Com174) X(Com175) X(Com176) \
  X(Com177) X(Com178) X(Com179) X(Com180) X(Com181) X(Com182) X(Com183) X(Com184) \
  X(Com185) X(Com186) X(Com187) X(Com188) X(Com189) X(Com190) X(Com191) X(Com192) \
  X(Com193) X(Com194) X(Com195) X(Com196) X(Com197) X(Com198) X(Com199) X(Com200) \
  X(Com201) X(Com202) X(Com203) X(Com204) X(Com205) X(Com206) X(Com207) X(Com208) \
  X(Com209) X(Com210) X(Com211) X(Com212) X(Com213) X(Com214) X(Com215) X(Com216) \
  X(Com217) X(Com218) X(Com219) X(Com220) X(Com221) X(Com222) X(Com223) X(Com224) \
  X(Com225) X(Com226) X(Com227) X(Com228) X(Com229) X(Com230) X(Com231) X(Com232) \
  X(Com233) X(Com234) X(Com235) X(Com236) X(Com237) X(Com238) X(Com239) X(Com240) \
  X(Com241) X(Com242) X(Com243) X(Com244) X(Com245) X(Com246) X(Com247) X(Com248) \
  X(Com249) X(Com250) X(Com251) X(Com252) X(Com253) X(Com254) X(Com255) X(Com256)
// clang-format on

#define VESTREL_COMPORT_ENUMERATOR(name) name,
enum ComTag : std::uint8_t { VESTREL_COMPORT_COM_TAGS(VESTREL_COMPORT_ENUMERATOR) };
#undef VESTREL_COMPORT_ENUMERATOR

// Number of values of each enumeration; a stored byte at or above the count is outside it.
inline constexpr int kDatBitTagCount = 2;
inline constexpr int kParitaetTagCount = 5;
inline constexpr int kStopBitTagCount = 3;
inline constexpr int kBaudTagCount = 8;
inline constexpr int kHandshakeTagCount = 4;
inline constexpr int kComTagCount = 256;

// The line parameter record. Integers are little-endian in the file; switch bytes are kept as
// bytes, not bool, so that any stored value can be held without undefined behaviour.
struct V24ParameterTag {
  DatBitTag DatenBits = D_7;
  ParitaetTag Paritaet = NoParity;
  StopBitTag StopBits = S_1;
  BaudTag Baudrate = B__1200;
  HandshakeTag Handshake = NoHandshake;
  std::uint8_t ReservedAt5[3] = {0, 0, 0};  // copied and written back unchanged
  std::int32_t RXTimeOut = 0;               // ms, total read time-out constant
  std::int32_t TXTimeOut = 0;               // ms, total write time-out constant
  ComTag Schnittstelle = Com__1;            // the port: port number - 1
  std::uint8_t KeinNullZeichen = 0;         // 1: the line discards received NUL bytes
  std::uint8_t KeinString = 0;              // 1: Read appends no terminating zero
  std::uint8_t ReservedAt19 = 0;            // copied and written back unchanged

  friend bool operator==(const V24ParameterTag&, const V24ParameterTag&) = default;
};

inline constexpr std::size_t kV24ParameterSize = 20;
static_assert(sizeof(V24ParameterTag) == kV24ParameterSize);
static_assert(offsetof(V24ParameterTag, DatenBits) == 0);
static_assert(offsetof(V24ParameterTag, Paritaet) == 1);
static_assert(offsetof(V24ParameterTag, StopBits) == 2);
static_assert(offsetof(V24ParameterTag, Baudrate) == 3);
static_assert(offsetof(V24ParameterTag, Handshake) == 4);
static_assert(offsetof(V24ParameterTag, ReservedAt5) == 5);
static_assert(offsetof(V24ParameterTag, RXTimeOut) == 8);
static_assert(offsetof(V24ParameterTag, TXTimeOut) == 12);
static_assert(offsetof(V24ParameterTag, Schnittstelle) == 16);
static_assert(offsetof(V24ParameterTag, KeinNullZeichen) == 17);
static_assert(offsetof(V24ParameterTag, KeinString) == 18);
static_assert(offsetof(V24ParameterTag, ReservedAt19) == 19);
static_assert(std::is_trivially_copyable_v<V24ParameterTag>);

// The record as it is stored in the settings file.
using V24ParameterBytes = std::array<std::uint8_t, kV24ParameterSize>;
V24ParameterBytes EncodeV24Parameter(const V24ParameterTag& Record);
V24ParameterTag DecodeV24Parameter(const V24ParameterBytes& Bytes);

// 8 data bits, no parity, one stop bit, 4800 bit/s, no flow control, read time-out 0, write
// time-out 1000 ms, COM1, both switches off, reserved bytes 0.
constexpr V24ParameterTag DefaultV24Parameter() {
  V24ParameterTag record;
  record.DatenBits = D_8;
  record.Baudrate = B__4800;
  record.TXTimeOut = 1000;
  return record;
}

// Validity of stored bytes. Every byte is a valid ComTag.
constexpr bool IsValid(DatBitTag Value) {
  return Value < kDatBitTagCount;
}
constexpr bool IsValid(ParitaetTag Value) {
  return Value < kParitaetTagCount;
}
constexpr bool IsValid(StopBitTag Value) {
  return Value < kStopBitTagCount;
}
constexpr bool IsValid(BaudTag Value) {
  return Value < kBaudTagCount;
}
constexpr bool IsValid(HandshakeTag Value) {
  return Value < kHandshakeTagCount;
}
constexpr bool IsValidSwitch(std::uint8_t Stored) {
  return Stored <= 1;
}
// A switch byte other than 0 and 1 reads as the default, off.
constexpr bool SwitchOn(std::uint8_t Stored) {
  return Stored == 1;
}

// True when every enumeration field and both switches hold a value of their set.
bool IsValid(const V24ParameterTag& Record);
// A copy in which every field outside its set holds the default's value; all other bytes,
// reserved ones included, stay as they are.
V24ParameterTag ReplaceInvalidFields(const V24ParameterTag& Record);

// The line settings of the enumerations. A value outside its enumeration gives the setting of
// the field's default.
std::uint32_t BaudRateValue(BaudTag Value);   // bit/s: 1200 .. 115200
std::uint8_t ByteSizeValue(DatBitTag Value);  // 7, 8
std::uint8_t StopBitsCode(StopBitTag Value);  // 0 one, 1 one and a half, 2 two stop bits
std::uint8_t ParityCode(ParitaetTag Value);   // 0 none, 1 odd, 2 even, 3 mark, 4 space

// Flow control added to the line. In every mode the line runs binary, XON is 0x11, XOFF 0x13,
// and RTS is held on unless RtsHandshake says otherwise; input never obeys XON/XOFF.
struct FlowControl {
  bool OutxCtsFlow = false;   // output waits for CTS
  bool OutX = false;          // output stops on XOFF
  bool RtsHandshake = false;  // RTS control "handshake" instead of "enable"

  friend bool operator==(const FlowControl&, const FlowControl&) = default;
};
FlowControl FlowControlOf(HandshakeTag Value);

// Settings file access results.
inline constexpr int kParameterFileOk = 0;
inline constexpr int kParameterFileNotOpened = -10;
inline constexpr const char* kDefaultSettingsFileName = "ComData.cfg";

// The component's line parameter record, optionally tied to a settings file.
//
// The settings file is opened only for one read or one write, exclusively (an flock held by
// another opener makes the access fail), and only when it is a regular file. A relative name is
// resolved against the current directory at each access.
class TV24Parameter : public TPersistent {
 public:
  // Remembers both arguments as the file tie; with UseFile and a non-empty FileName, reads the
  // record from the file (creating the file from the values in force when it cannot be opened).
  // The pointer stays valid as long as this object.
  V24ParameterTag* GetParameter(bool UseFile, const std::string& FileName);

  // Takes the 20 bytes over; writes the file when the last GetParameter tied it to one.
  void SetParameter(const V24ParameterTag* Record);

  // Reads up to 20 bytes into Record (a shorter file replaces only its leading bytes) and gives
  // kParameterFileOk. When the file cannot be opened: Record := Fallback (they may be the same
  // record), the file is written with it, and the result is kParameterFileNotOpened.
  static int ReadParameterFile(const std::string& FileName, V24ParameterTag* Record,
                               const V24ParameterTag* Fallback);

  // Writes the 20 bytes at the start of the file, creating it if needed; a longer file keeps its
  // bytes from offset 20 on. kParameterFileNotOpened when the file cannot be opened or written.
  static int WriteParameterFile(const std::string& FileName, const V24ParameterTag* Record);

  bool UseFile() const { return use_file_; }
  const std::string& FileName() const { return file_name_; }

  // Published properties, each reading and writing its record field as stored.
  ComTag Schnittstelle() const { return record_.Schnittstelle; }
  void SetSchnittstelle(ComTag Value) { record_.Schnittstelle = Value; }
  DatBitTag DatenBits() const { return record_.DatenBits; }
  void SetDatenBits(DatBitTag Value) { record_.DatenBits = Value; }
  StopBitTag StopBits() const { return record_.StopBits; }
  void SetStopBits(StopBitTag Value) { record_.StopBits = Value; }
  ParitaetTag Paritaet() const { return record_.Paritaet; }
  void SetParitaet(ParitaetTag Value) { record_.Paritaet = Value; }
  BaudTag Baudrate() const { return record_.Baudrate; }
  void SetBaudrate(BaudTag Value) { record_.Baudrate = Value; }
  HandshakeTag Handshake() const { return record_.Handshake; }
  void SetHandshake(HandshakeTag Value) { record_.Handshake = Value; }
  std::int32_t RXTimeOut() const { return record_.RXTimeOut; }
  void SetRXTimeOut(std::int32_t Value) { record_.RXTimeOut = Value; }
  std::int32_t TXTimeOut() const { return record_.TXTimeOut; }
  void SetTXTimeOut(std::int32_t Value) { record_.TXTimeOut = Value; }
  bool KeinNullZeichen() const { return SwitchOn(record_.KeinNullZeichen); }
  void SetKeinNullZeichen(bool Value) { record_.KeinNullZeichen = Value ? 1 : 0; }
  bool KeinString() const { return SwitchOn(record_.KeinString); }
  void SetKeinString(bool Value) { record_.KeinString = Value ? 1 : 0; }

 private:
  bool FileTied() const { return use_file_ && !file_name_.empty(); }

  V24ParameterTag record_ = DefaultV24Parameter();
  bool use_file_ = false;
  std::string file_name_;
};

// Positions of the settings dialog's switches in the flag block of TDlgParameter.
enum class DlgFlag : std::size_t {
  DatenBits,
  Schnittstelle,
  Paritaet,
  StopBits,
  Baudrate,
  Handshake,
  RXTimeOut,
  TXTimeOut,
  KeinNullZeichen,
  KeinString,
};
inline constexpr std::size_t kDlgFlagCount = 10;

// Which record fields the settings dialog lets the user change; all off at construction.
class TDlgParameter : public TPersistent {
 public:
  // The ten flags in DlgFlag order.
  bool* GetFlags() { return flags_.data(); }
  const bool* GetFlags() const { return flags_.data(); }

  // Published properties.
  bool Schnittstelle() const { return Flag(DlgFlag::Schnittstelle); }
  void SetSchnittstelle(bool Value) { SetFlag(DlgFlag::Schnittstelle, Value); }
  bool DatenBits() const { return Flag(DlgFlag::DatenBits); }
  void SetDatenBits(bool Value) { SetFlag(DlgFlag::DatenBits, Value); }
  bool StopBits() const { return Flag(DlgFlag::StopBits); }
  void SetStopBits(bool Value) { SetFlag(DlgFlag::StopBits, Value); }
  bool Paritaet() const { return Flag(DlgFlag::Paritaet); }
  void SetParitaet(bool Value) { SetFlag(DlgFlag::Paritaet, Value); }
  bool Baudrate() const { return Flag(DlgFlag::Baudrate); }
  void SetBaudrate(bool Value) { SetFlag(DlgFlag::Baudrate, Value); }
  bool Handshake() const { return Flag(DlgFlag::Handshake); }
  void SetHandshake(bool Value) { SetFlag(DlgFlag::Handshake, Value); }
  bool RXTimeOut() const { return Flag(DlgFlag::RXTimeOut); }
  void SetRXTimeOut(bool Value) { SetFlag(DlgFlag::RXTimeOut, Value); }
  bool TXTimeOut() const { return Flag(DlgFlag::TXTimeOut); }
  void SetTXTimeOut(bool Value) { SetFlag(DlgFlag::TXTimeOut, Value); }
  bool KeinNullZeichen() const { return Flag(DlgFlag::KeinNullZeichen); }
  void SetKeinNullZeichen(bool Value) { SetFlag(DlgFlag::KeinNullZeichen, Value); }
  bool KeinString() const { return Flag(DlgFlag::KeinString); }
  void SetKeinString(bool Value) { SetFlag(DlgFlag::KeinString, Value); }

 private:
  bool Flag(DlgFlag f) const { return flags_[static_cast<std::size_t>(f)]; }
  void SetFlag(DlgFlag f, bool Value) { flags_[static_cast<std::size_t>(f)] = Value; }

  std::array<bool, kDlgFlagCount> flags_{};
};

}  // namespace vestrel::comport
