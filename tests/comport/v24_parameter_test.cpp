#include "comport/v24_parameter.h"
#include "tests/comport/v24_bytes.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace vestrel::comport {
namespace {

using test::Bytes;
using test::Encoded;
using test::kDefaultBytes;

// Settings files and form descriptions store these ordinals.
static_assert(D_7 == 0 && D_8 == 1);
static_assert(NoParity == 0 && Odd == 1 && Even == 2 && Mark == 3 && Space == 4);
static_assert(S_1 == 0 && S1_5 == 1 && S_2 == 2);
static_assert(B__1200 == 0 && B__2400 == 1 && B__4800 == 2 && B__9600 == 3 && B_19200 == 4 &&
              B_38400 == 5 && B_57600 == 6 && B115200 == 7);
static_assert(NoHandshake == 0 && RTS_CTS == 1 && XonXoff == 2 && WTW_XonXoff == 3);
static_assert(sizeof(ComTag) == 1 && Com__1 == 0 && Com256 == 255);

TEST(ComTagNames, AllIdentifiersArePaddedPortNumbersInOrder) {
#define NAME_OF(id) #id,
  const std::vector<std::string> names = {VESTREL_COMPORT_COM_TAGS(NAME_OF)};
#undef NAME_OF
#define VALUE_OF(id) id,
  const std::vector<ComTag> values = {VESTREL_COMPORT_COM_TAGS(VALUE_OF)};
#undef VALUE_OF
  ASSERT_EQ(names.size(), 256u);
  for (int i = 0; i < 256; ++i) {
    std::string digits = std::to_string(i + 1);
    EXPECT_EQ(names[static_cast<std::size_t>(i)],
              "Com" + std::string(3 - digits.size(), '_') + digits);
    EXPECT_EQ(values[static_cast<std::size_t>(i)], i);
  }
}

TEST(V24ParameterRecord, DefaultsAreTheDocumentedBytes) {
  EXPECT_EQ(Encoded(DefaultV24Parameter()), kDefaultBytes);
  EXPECT_TRUE(IsValid(DefaultV24Parameter()));

  TV24Parameter parameter;
  EXPECT_EQ(Encoded(*parameter.GetParameter(false, "")), kDefaultBytes);
  EXPECT_FALSE(parameter.UseFile());
  EXPECT_TRUE(parameter.FileName().empty());
}

TEST(V24ParameterRecord, NewRecordIsAllZero) {
  EXPECT_EQ(Encoded(V24ParameterTag{}), Bytes(20, 0));
}

TEST(V24ParameterRecord, EncodesEveryFieldAtItsOffsetLittleEndian) {
  V24ParameterTag r;
  r.DatenBits = D_7;
  r.Paritaet = Space;
  r.StopBits = S_2;
  r.Baudrate = B115200;
  r.Handshake = WTW_XonXoff;
  r.ReservedAt5[0] = 0xA5;
  r.ReservedAt5[1] = 0xA6;
  r.ReservedAt5[2] = 0xA7;
  r.RXTimeOut = 0x12345678;
  r.TXTimeOut = -2;
  r.Schnittstelle = Com_12;
  r.KeinNullZeichen = 1;
  r.KeinString = 1;
  r.ReservedAt19 = 0xB3;
  const Bytes expected = {0x00, 0x04, 0x02, 0x07, 0x03, 0xA5, 0xA6, 0xA7, 0x78, 0x56,
                          0x34, 0x12, 0xFE, 0xFF, 0xFF, 0xFF, 0x0B, 0x01, 0x01, 0xB3};
  EXPECT_EQ(Encoded(r), expected);
  EXPECT_EQ(DecodeV24Parameter(EncodeV24Parameter(r)), r);
}

TEST(V24ParameterRecord, DecodeKeepsEveryByteEvenOutsideTheEnumerations) {
  V24ParameterBytes raw{};
  for (std::size_t i = 0; i < raw.size(); ++i) raw[i] = static_cast<std::uint8_t>(0xF0 + i);
  EXPECT_EQ(EncodeV24Parameter(DecodeV24Parameter(raw)), raw);
}

TEST(V24ParameterProperties, EachPropertyWritesItsOwnField) {
  TV24Parameter p;
  p.SetSchnittstelle(Com__3);
  p.SetDatenBits(D_7);
  p.SetStopBits(S1_5);
  p.SetParitaet(Even);
  p.SetBaudrate(B_57600);
  p.SetHandshake(RTS_CTS);
  p.SetRXTimeOut(250);
  p.SetTXTimeOut(-1);
  p.SetKeinNullZeichen(true);
  p.SetKeinString(true);
  const Bytes expected = {0x00, 0x02, 0x01, 0x06, 0x01, 0x00, 0x00, 0x00, 0xFA, 0x00,
                          0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x01, 0x01, 0x00};
  EXPECT_EQ(Encoded(*p.GetParameter(false, "")), expected);
  EXPECT_EQ(p.Schnittstelle(), Com__3);
  EXPECT_EQ(p.DatenBits(), D_7);
  EXPECT_EQ(p.StopBits(), S1_5);
  EXPECT_EQ(p.Paritaet(), Even);
  EXPECT_EQ(p.Baudrate(), B_57600);
  EXPECT_EQ(p.Handshake(), RTS_CTS);
  EXPECT_EQ(p.RXTimeOut(), 250);
  EXPECT_EQ(p.TXTimeOut(), -1);
  EXPECT_TRUE(p.KeinNullZeichen());
  EXPECT_TRUE(p.KeinString());

  p.SetKeinNullZeichen(false);
  EXPECT_EQ(p.GetParameter(false, "")->KeinNullZeichen, 0);
}

TEST(V24ParameterObject, GetAndSetWithoutFileCopyTheRecord) {
  TV24Parameter p;
  V24ParameterTag* own = p.GetParameter(false, "");
  V24ParameterTag edited = *own;
  edited.Baudrate = B_19200;
  edited.Schnittstelle = Com_10;
  EXPECT_EQ(own->Baudrate, B__4800) << "the caller edits a copy";
  p.SetParameter(&edited);
  EXPECT_EQ(p.GetParameter(false, "x"), own) << "the pointer stays the object's own record";
  EXPECT_EQ(*own, edited);
  EXPECT_FALSE(p.UseFile());
  EXPECT_EQ(p.FileName(), "x");
}

struct BoundaryCase {
  const char* field;
  bool last_valid;
  bool first_invalid;
};

TEST(V24ParameterValidity, EachEnumerationEndsAtItsLastIdentifier) {
  const BoundaryCase cases[] = {
      {"DatenBits", IsValid(D_8), IsValid(DatBitTag{2})},
      {"Paritaet", IsValid(Space), IsValid(ParitaetTag{5})},
      {"StopBits", IsValid(S_2), IsValid(StopBitTag{3})},
      {"Baudrate", IsValid(B115200), IsValid(BaudTag{8})},
      {"Handshake", IsValid(WTW_XonXoff), IsValid(HandshakeTag{4})},
      {"switch", IsValidSwitch(1), IsValidSwitch(2)},
  };
  for (const BoundaryCase& c : cases) {
    EXPECT_TRUE(c.last_valid) << c.field;
    EXPECT_FALSE(c.first_invalid) << c.field;
  }
  EXPECT_FALSE(IsValid(BaudTag{0xFF}));
}

// A damaged or foreign settings file: every enumeration field and both switches out of range.
V24ParameterTag DamagedRecord() {
  V24ParameterBytes raw = {0x02, 0x05, 0x03, 0x08, 0x04, 0x11, 0x22, 0x33, 0x64, 0x00,
                           0x00, 0x00, 0x10, 0x27, 0x00, 0x00, 0x04, 0x02, 0xFF, 0x44};
  return DecodeV24Parameter(raw);
}

TEST(V24ParameterValidity, ReplaceInvalidFieldsTakesEachFieldsDefaultAndKeepsTheRest) {
  const V24ParameterTag damaged = DamagedRecord();
  EXPECT_FALSE(IsValid(damaged));

  const V24ParameterTag fixed = ReplaceInvalidFields(damaged);
  EXPECT_TRUE(IsValid(fixed));
  const Bytes expected = {0x01, 0x00, 0x00, 0x02, 0x00, 0x11, 0x22, 0x33, 0x64, 0x00,
                          0x00, 0x00, 0x10, 0x27, 0x00, 0x00, 0x04, 0x00, 0x00, 0x44};
  EXPECT_EQ(Encoded(fixed), expected);

  V24ParameterTag one_bad = DefaultV24Parameter();
  one_bad.Paritaet = Even;
  one_bad.Baudrate = BaudTag{200};
  EXPECT_FALSE(IsValid(one_bad));
  EXPECT_EQ(ReplaceInvalidFields(one_bad).Baudrate, B__4800);
  EXPECT_EQ(ReplaceInvalidFields(one_bad).Paritaet, Even) << "valid fields stay";
}

TEST(V24ParameterValidity, SwitchBytesOtherThanOneReadAsOff) {
  V24ParameterTag r = DefaultV24Parameter();
  r.KeinNullZeichen = 2;
  r.KeinString = 0xFF;
  TV24Parameter p;
  p.SetParameter(&r);
  EXPECT_FALSE(p.KeinNullZeichen());
  EXPECT_FALSE(p.KeinString());
  EXPECT_EQ(p.GetParameter(false, "")->KeinNullZeichen, 2) << "the stored byte stays";
  r.KeinString = 1;
  p.SetParameter(&r);
  EXPECT_TRUE(p.KeinString());
}

TEST(V24ParameterMapping, ConversionTablesGiveTheLineSettings) {
  const std::uint32_t rates[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
  for (int i = 0; i < kBaudTagCount; ++i) {
    EXPECT_EQ(BaudRateValue(BaudTag(i)), rates[i]) << i;
  }
  EXPECT_EQ(ByteSizeValue(D_7), 7);
  EXPECT_EQ(ByteSizeValue(D_8), 8);
  EXPECT_EQ(StopBitsCode(S_1), 0);
  EXPECT_EQ(StopBitsCode(S1_5), 1);
  EXPECT_EQ(StopBitsCode(S_2), 2);
  EXPECT_EQ(ParityCode(NoParity), 0);
  EXPECT_EQ(ParityCode(Odd), 1);
  EXPECT_EQ(ParityCode(Even), 2);
  EXPECT_EQ(ParityCode(Mark), 3);
  EXPECT_EQ(ParityCode(Space), 4);
}

TEST(V24ParameterMapping, HandshakeTable) {
  EXPECT_EQ(FlowControlOf(NoHandshake), (FlowControl{false, false, false}));
  EXPECT_EQ(FlowControlOf(RTS_CTS), (FlowControl{true, false, true}));
  EXPECT_EQ(FlowControlOf(XonXoff), (FlowControl{false, true, false}));
  EXPECT_EQ(FlowControlOf(WTW_XonXoff), (FlowControl{false, true, false}));
}

// Guards against a damaged settings byte indexing past the end of a conversion table.
TEST(V24ParameterMapping, OutOfRangeBytesGiveTheDefaultsSetting) {
  for (int stored = 0; stored < 256; ++stored) {
    const auto b = static_cast<std::uint8_t>(stored);
    SCOPED_TRACE(stored);
    if (stored >= kBaudTagCount) {
      EXPECT_EQ(BaudRateValue(BaudTag{b}), 4800u);
    }
    if (stored >= kDatBitTagCount) {
      EXPECT_EQ(ByteSizeValue(DatBitTag{b}), 8);
    }
    if (stored >= kStopBitTagCount) {
      EXPECT_EQ(StopBitsCode(StopBitTag{b}), 0);
    }
    if (stored >= kParitaetTagCount) {
      EXPECT_EQ(ParityCode(ParitaetTag{b}), 0);
    }
    if (stored >= kHandshakeTagCount) {
      EXPECT_EQ(FlowControlOf(HandshakeTag{b}), FlowControl{});
    }
  }
}

TEST(DlgParameter, AllFlagsOffAtConstruction) {
  TDlgParameter d;
  for (std::size_t i = 0; i < kDlgFlagCount; ++i) EXPECT_FALSE(d.GetFlags()[i]) << i;
}

TEST(DlgParameter, EachPropertyOwnsItsPositionInTheBlock) {
  struct Case {
    void (TDlgParameter::*set)(bool);
    bool (TDlgParameter::*get)() const;
    std::size_t position;
  };
  const Case cases[] = {
      {&TDlgParameter::SetDatenBits, &TDlgParameter::DatenBits, 0},
      {&TDlgParameter::SetSchnittstelle, &TDlgParameter::Schnittstelle, 1},
      {&TDlgParameter::SetParitaet, &TDlgParameter::Paritaet, 2},
      {&TDlgParameter::SetStopBits, &TDlgParameter::StopBits, 3},
      {&TDlgParameter::SetBaudrate, &TDlgParameter::Baudrate, 4},
      {&TDlgParameter::SetHandshake, &TDlgParameter::Handshake, 5},
      {&TDlgParameter::SetRXTimeOut, &TDlgParameter::RXTimeOut, 6},
      {&TDlgParameter::SetTXTimeOut, &TDlgParameter::TXTimeOut, 7},
      {&TDlgParameter::SetKeinNullZeichen, &TDlgParameter::KeinNullZeichen, 8},
      {&TDlgParameter::SetKeinString, &TDlgParameter::KeinString, 9},
  };
  for (const Case& c : cases) {
    TDlgParameter d;
    (d.*c.set)(true);
    for (std::size_t i = 0; i < kDlgFlagCount; ++i) {
      EXPECT_EQ(d.GetFlags()[i], i == c.position) << "property at " << c.position << ", flag " << i;
    }
    d.GetFlags()[c.position] = false;
    EXPECT_FALSE((d.*c.get)()) << "the block is the property's storage, position " << c.position;
  }
}

}  // namespace
}  // namespace vestrel::comport
