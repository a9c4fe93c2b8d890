// Opening, configuring and closing a port through TComPort, on fake lines.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "tests/comport/fake_port_fixture.h"

namespace vestrel::comport::fakes {
namespace {

using platform::COMMTIMEOUTS;

V24ParameterTag Record() {
  return DefaultV24Parameter();
}

TEST_F(FakePortTest, OpenSetsTheRecordsLineStateAndTimeouts) {
  V24ParameterTag record = Record();
  record.RXTimeOut = 250;
  record.TXTimeOut = 1500;
  ASSERT_NE(OpenWith(record), INVALID_HANDLE_VALUE);

  DCB want;
  want.DCBlength = 28;
  want.BaudRate = 4800;
  want.ByteSize = 8;
  want.Parity = platform::NOPARITY;
  want.StopBits = platform::ONESTOPBIT;
  want.XonChar = 0x11;
  want.XoffChar = 0x13;
  want.fBinary = 1;
  want.fRtsControl = platform::RTS_CONTROL_ENABLE;
  want.fDtrControl = platform::DTR_CONTROL_DISABLE;
  ASSERT_EQ(line->statesSet.size(), 1u);
  EXPECT_EQ(line->statesSet[0], want);

  const COMMTIMEOUTS timeouts{20, 1, 250, 1, 1500};
  ASSERT_EQ(line->timeoutsSet.size(), 1u);
  EXPECT_EQ(line->timeoutsSet[0], timeouts);
}

TEST_F(FakePortTest, FramingAndRateFollowTheConversionTables) {
  const std::uint8_t parityCodes[] = {0, 1, 2, 3, 4};  // none, odd, even, mark, space
  for (int p = 0; p < kParitaetTagCount; ++p) {
    V24ParameterTag record = Record();
    record.Paritaet = static_cast<ParitaetTag>(p);
    EXPECT_EQ(OpenedState(record).Parity, parityCodes[p]) << "parity " << p;
  }
  const std::uint8_t stopCodes[] = {platform::ONESTOPBIT, platform::ONE5STOPBITS,
                                    platform::TWOSTOPBITS};
  for (int s = 0; s < kStopBitTagCount; ++s) {
    V24ParameterTag record = Record();
    record.StopBits = static_cast<StopBitTag>(s);
    EXPECT_EQ(OpenedState(record).StopBits, stopCodes[s]) << "stop bits " << s;
  }
  const std::uint32_t rates[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
  for (int b = 0; b < kBaudTagCount; ++b) {
    V24ParameterTag record = Record();
    record.Baudrate = static_cast<BaudTag>(b);
    EXPECT_EQ(OpenedState(record).BaudRate, rates[b]) << "baud " << b;
  }
  V24ParameterTag seven = Record();
  seven.DatenBits = D_7;
  EXPECT_EQ(OpenedState(seven).ByteSize, 7);
}

TEST_F(FakePortTest, HandshakeTableAndNullStripping) {
  struct Row {
    HandshakeTag mode;
    std::uint8_t cts, outX, rts;
  };
  const Row rows[] = {
      {NoHandshake, 0, 0, platform::RTS_CONTROL_ENABLE},
      {RTS_CTS, 1, 0, platform::RTS_CONTROL_HANDSHAKE},
      {XonXoff, 0, 1, platform::RTS_CONTROL_ENABLE},
      {WTW_XonXoff, 0, 1, platform::RTS_CONTROL_ENABLE},
  };
  for (const Row& row : rows) {
    V24ParameterTag record = Record();
    record.Handshake = row.mode;
    record.KeinNullZeichen = 1;
    const DCB state = OpenedState(record);
    EXPECT_EQ(state.fOutxCtsFlow, row.cts) << int(row.mode);
    EXPECT_EQ(state.fOutX, row.outX) << int(row.mode);
    EXPECT_EQ(state.fRtsControl, row.rts) << int(row.mode);
    EXPECT_EQ(state.fInX, 0) << int(row.mode);  // input never obeys XON/XOFF
    EXPECT_EQ(state.fNull, 1);
  }
}

TEST_F(FakePortTest, CloseRestoresTheFoundLineWithoutNullStrippingAndTheTimeouts) {
  DCB found;
  found.DCBlength = 28;
  found.BaudRate = 19200;
  found.ByteSize = 7;
  found.Parity = platform::EVENPARITY;
  found.StopBits = platform::TWOSTOPBITS;
  found.fNull = 1;
  found.fOutX = 1;
  const COMMTIMEOUTS foundTimeouts{1, 2, 3, 4, 5};
  line->state = found;
  line->timeouts = foundTimeouts;

  const HANDLE handle = OpenWith(Record());
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  EXPECT_EQ(port.GetPortHandle(), handle);
  EXPECT_TRUE(port.GetPortOpen());
  EXPECT_NE(line->state, found);

  port.Close();
  DCB restored = found;
  restored.fNull = 0;
  EXPECT_EQ(line->state, restored);
  EXPECT_EQ(line->timeouts, foundTimeouts);
  EXPECT_TRUE(line->released);
  EXPECT_FALSE(port.GetPortOpen());
  EXPECT_EQ(port.GetPortHandle(), INVALID_HANDLE_VALUE);

  port.Close();  // closed: nothing happens
  EXPECT_EQ(line->statesSet.size(), 2u);
}

TEST_F(FakePortTest, BytesOutsideTheirEnumerationOpenWithTheDefaultsAndAreKept) {
  V24ParameterTag damaged = Record();
  damaged.DatenBits = static_cast<DatBitTag>(2);
  damaged.Paritaet = static_cast<ParitaetTag>(5);
  damaged.StopBits = static_cast<StopBitTag>(0xFF);
  damaged.Baudrate = static_cast<BaudTag>(8);
  damaged.Handshake = static_cast<HandshakeTag>(4);
  damaged.KeinNullZeichen = 7;
  damaged.RXTimeOut = -5;
  damaged.TXTimeOut = -1;
  ASSERT_NE(OpenWith(damaged), INVALID_HANDLE_VALUE);

  const DCB state = line->statesSet.at(0);
  EXPECT_EQ(state.BaudRate, 4800u);
  EXPECT_EQ(state.ByteSize, 8);
  EXPECT_EQ(state.Parity, platform::NOPARITY);
  EXPECT_EQ(state.StopBits, platform::ONESTOPBIT);
  EXPECT_EQ(state.fOutX, 0);
  EXPECT_EQ(state.fOutxCtsFlow, 0);
  EXPECT_EQ(state.fNull, 0);
  EXPECT_EQ(port.GetActiveHandshake(), NoHandshake);
  EXPECT_EQ(line->timeoutsSet.at(0), (COMMTIMEOUTS{20, 1, 0, 1, 0}));

  V24ParameterTag kept = damaged;
  kept.Schnittstelle = Com__4;  // the port actually opened
  EXPECT_EQ(*port.GetV24Parameter(), kept);
}

TEST_F(FakePortTest, SecondOpenReturnsNullAndLeavesThePortAlone) {
  const HANDLE handle = OpenWith(Record());
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  V24MessageQueue other;
  EXPECT_EQ(port.Open(&other, 5, true), nullptr);
  EXPECT_EQ(asked, (std::vector<unsigned>{4}));
  EXPECT_EQ(port.GetPortHandle(), handle);
  EXPECT_EQ(port.GetNotifyWindow(), &queue);
  EXPECT_TRUE(shown.empty());
}

TEST_F(FakePortTest, PortArgumentOrTheRecordsPortIsOpened) {
  V24ParameterTag record = Record();
  record.Schnittstelle = Com__7;
  port.InitParameter(&record, false);
  ASSERT_NE(port.Open(&queue, -1, false), INVALID_HANDLE_VALUE);
  port.Close();
  ASSERT_NE(port.Open(&queue, 2, false), INVALID_HANDLE_VALUE);
  EXPECT_EQ(asked, (std::vector<unsigned>{7, 3}));
  EXPECT_EQ(port.GetV24Parameter()->Schnittstelle, Com__3);
}

TEST_F(FakePortTest, FailureMessageInGermanOrEnglish) {
  refused = {12};
  V24ParameterTag record = Record();
  port.InitParameter(&record, false);

  EXPECT_EQ(port.Open(&queue, 11, true), INVALID_HANDLE_VALUE);
  port.SetLanguage(1);
  EXPECT_EQ(port.Open(&queue, 11, true), INVALID_HANDLE_VALUE);
  EXPECT_EQ(port.Open(&queue, 11, false), INVALID_HANDLE_VALUE);  // no message
  EXPECT_EQ(shown, (std::vector<std::string>{"COM12 konnte nicht geöffnet werden!",
                                             "Cannot open COM12! "}));

  EXPECT_FALSE(port.GetPortOpen());
  EXPECT_EQ(port.GetNotifyWindow(), &queue);                 // kept on failure too
  EXPECT_EQ(port.GetV24Parameter()->Schnittstelle, Com__1);  // the old record stays
  EXPECT_EQ(port.Read(nullptr, 0), kV24NoPort);
}

TEST_F(FakePortTest, SettingsFileChoosesThePortAndRecordsTheOpenedOne) {
  const std::string file = (dir.path() / "ComData.cfg").string();
  V24ParameterTag stored = Record();
  stored.Schnittstelle = Com__2;
  ASSERT_EQ(TV24Parameter::WriteParameterFile(file, &stored), kParameterFileOk);
  port.SetStreamOn(true);
  port.SetDatei(file);

  ASSERT_NE(port.Open(&queue, -1, false), INVALID_HANDLE_VALUE);
  port.Close();
  ASSERT_NE(port.Open(&queue, 4, false), INVALID_HANDLE_VALUE);
  EXPECT_EQ(asked, (std::vector<unsigned>{2, 5}));

  std::ifstream in(file, std::ios::binary);
  const std::vector<char> bytes{std::istreambuf_iterator<char>(in), {}};
  ASSERT_EQ(bytes.size(), kV24ParameterSize);
  EXPECT_EQ(bytes[16], 4);
}

TEST_F(FakePortTest, WithoutStreamOnNoSettingsFileIsMade) {
  const auto file = dir.path() / "ComData.cfg";
  port.SetDatei(file.string());
  ASSERT_NE(OpenWith(Record()), INVALID_HANDLE_VALUE);
  port.Close();
  EXPECT_FALSE(std::filesystem::exists(file));
}

TEST_F(FakePortTest, LineChangesOnAnOpenPort) {
  V24ParameterTag record = Record();
  record.Handshake = RTS_CTS;
  ASSERT_NE(OpenWith(record), INVALID_HANDLE_VALUE);

  port.ChangeV24Parameter(B_19200, S_2, Mark, true);
  DCB state = port.LoadV24Parameter();
  EXPECT_EQ(state.BaudRate, 19200u);
  EXPECT_EQ(state.StopBits, platform::TWOSTOPBITS);
  EXPECT_EQ(state.Parity, platform::MARKPARITY);
  EXPECT_EQ(state.fNull, 1);
  EXPECT_EQ(state.ByteSize, 8);      // kept
  EXPECT_EQ(state.fOutxCtsFlow, 1);  // kept

  port.ChangeBaudrate(BaudTag{7});
  EXPECT_EQ(port.LoadV24Parameter().BaudRate, 115200u);

  port.ChangeHandShake(WTW_XonXoff);
  state = port.LoadV24Parameter();
  EXPECT_EQ(state.fOutX, 1);
  EXPECT_EQ(state.fOutxCtsFlow, 0);
  EXPECT_EQ(state.fRtsControl, platform::RTS_CONTROL_ENABLE);
  EXPECT_EQ(port.GetActiveHandshake(), WTW_XonXoff);

  state.BaudRate = 2400;
  port.SaveV24Parameter(&state);
  EXPECT_EQ(port.LoadV24Parameter(), state);
}

TEST_F(FakePortTest, LineChangesOnAClosedComponentDoNothing) {
  port.ChangeV24Parameter(B_19200, S_2, Mark, true);
  port.ChangeBaudrate(B__9600);
  port.ChangeHandShake(XonXoff);
  const DCB any;
  port.SaveV24Parameter(&any);
  EXPECT_TRUE(line->statesSet.empty());
  EXPECT_EQ(port.LoadV24Parameter(), DCB{});
  EXPECT_EQ(port.GetActiveHandshake(), NoHandshake);
}

TEST_F(FakePortTest, LastLineStateSurvivesCloseAndOpen) {
  port.LoadLastV24Parameter();  // nothing saved: nothing happens
  EXPECT_TRUE(line->statesSet.empty());

  ASSERT_NE(OpenWith(Record()), INVALID_HANDLE_VALUE);
  port.ChangeBaudrate(B_38400);
  port.SaveLastV24Parameter();
  const DCB saved = port.LoadV24Parameter();
  port.Close();

  ASSERT_NE(OpenWith(Record()), INVALID_HANDLE_VALUE);
  EXPECT_EQ(port.LoadV24Parameter().BaudRate, 4800u);
  port.LoadLastV24Parameter();
  EXPECT_EQ(port.LoadV24Parameter(), saved);
}

TEST_F(FakePortTest, RecordCopiesInAndOut) {
  TV24Parameter given;
  given.GetParameter(true, (dir.path() / "given.cfg").string());  // creates it
  given.SetBaudrate(B_57600);
  port.GetV24()->GetParameter(true, (dir.path() / "own.cfg").string());

  port.SetV24(&given);
  EXPECT_EQ(port.GetV24()->Baudrate(), B_57600);
  EXPECT_FALSE(port.GetV24()->UseFile());
  EXPECT_FALSE(given.UseFile());
  EXPECT_NE(port.GetV24(), &given);
  std::ifstream ownFile(dir.path() / "own.cfg", std::ios::binary);
  const std::vector<char> ownBytes{std::istreambuf_iterator<char>(ownFile), {}};
  ASSERT_EQ(ownBytes.size(), kV24ParameterSize);
  EXPECT_EQ(ownBytes[3], B__4800);  // file use was off: the file kept its record

  TDlgParameter flags;
  flags.SetSchnittstelle(true);
  port.SetV24Dlg(&flags);
  EXPECT_TRUE(port.GetV24Dialog()->GetFlags()[1]);
  EXPECT_FALSE(port.GetV24Dialog()->GetFlags()[2]);

  V24ParameterTag record = Record();
  record.Schnittstelle = Com_10;
  port.InitParameter(&record, true);
  EXPECT_TRUE(port.GetAutoSearch());
  V24ParameterTag* own = port.GetV24Parameter();
  EXPECT_EQ(*own, record);
  EXPECT_EQ(own, port.GetV24Parameter());  // the object's own record, not a copy
}

}  // namespace
}  // namespace vestrel::comport::fakes
