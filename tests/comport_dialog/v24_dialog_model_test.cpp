// What the settings dialog shows for a record, what OK writes back, the timeout texts it takes,
// and the sequence around one showing (rescan, edit a copy, store, re-open).
#include "comport/v24_dialog_model.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "tests/comport_dialog/fake_v24_dialog_host.h"

namespace vestrel::comport {
namespace {

namespace fs = std::filesystem;

const std::vector<std::uint8_t> kPorts = {0, 2, 9};  // COM1, COM3, COM10

// A record that every box can show, differing from the defaults in every field.
V24ParameterTag Showable() {
  V24ParameterTag r;
  r.DatenBits = D_7;
  r.Paritaet = Even;
  r.StopBits = S_2;
  r.Baudrate = B_38400;
  r.Handshake = WTW_XonXoff;
  r.RXTimeOut = 250;
  r.TXTimeOut = -5;
  r.Schnittstelle = Com_10;
  r.KeinNullZeichen = 1;
  r.KeinString = 1;
  return r;
}

// A record that no list box can show.
V24ParameterTag Unshowable() {
  V24ParameterTag r = Showable();
  r.Paritaet = Space;
  r.Baudrate = BaudTag{7};   // B115200
  r.Schnittstelle = Com__2;  // not among kPorts
  r.KeinNullZeichen = 2;
  r.KeinString = 7;
  return r;
}

TEST(V24DialogInputTest, ShowsEveryFieldOfAShowableRecord) {
  const V24DialogInput input = V24DialogInputOf(Showable(), kPorts);
  EXPECT_EQ(input.Positions, (V24BoxPositions{0, 2, 2, 5, 3, 2, 1, 1}));
  EXPECT_EQ(input.RXTimeOutText, "250");
  EXPECT_EQ(input.TXTimeOutText, "-5");
}

TEST(V24DialogInputTest, ValuesWithoutAnEntryShowNoSelection) {
  const V24BoxPositions p = V24DialogInputOf(Unshowable(), kPorts).Positions;
  EXPECT_EQ(p.Paritaet, kNoSelection);
  EXPECT_EQ(p.Baudrate, kNoSelection);
  EXPECT_EQ(p.Schnittstelle, kNoSelection);
  EXPECT_EQ(p.KeinNullZeichen, kNoSelection);
  EXPECT_EQ(p.KeinString, kNoSelection);

  V24ParameterTag r = Showable();
  r.Paritaet = Mark;
  r.Baudrate = B_57600;
  EXPECT_EQ(V24DialogInputOf(r, kPorts).Positions.Paritaet, kNoSelection);
  EXPECT_EQ(V24DialogInputOf(r, kPorts).Positions.Baudrate, kNoSelection);
  EXPECT_EQ(V24DialogInputOf(r, {}).Positions.Schnittstelle, kNoSelection);
}

TEST(V24StoreTest, OkWithoutChangesGivesTheRecordBack) {
  for (const V24ParameterTag& original : {DefaultV24Parameter(), Showable(), Unshowable()}) {
    V24ParameterTag r = original;
    EXPECT_TRUE(StoreV24DialogInput(V24DialogInputOf(r, kPorts), kPorts, r).Stored);
    EXPECT_EQ(r, original);
  }
}

TEST(V24StoreTest, WritesTheSelectedEntries) {
  V24DialogInput input{{1, 1, 1, 0, 2, 1, 0, 1}, "+10", " 1000 "};
  V24ParameterTag r = Showable();
  ASSERT_TRUE(StoreV24DialogInput(input, kPorts, r).Stored);
  EXPECT_EQ(r.DatenBits, D_8);
  EXPECT_EQ(r.Paritaet, Odd);
  EXPECT_EQ(r.StopBits, S1_5);
  EXPECT_EQ(r.Baudrate, B__1200);
  EXPECT_EQ(r.Handshake, XonXoff);
  EXPECT_EQ(r.RXTimeOut, 10);
  EXPECT_EQ(r.TXTimeOut, 1000);
  EXPECT_EQ(r.Schnittstelle, Com__3);  // position 1 of the table
  EXPECT_EQ(r.KeinNullZeichen, 0);
  EXPECT_EQ(r.KeinString, 1);

  input.Positions.Paritaet = 2;
  ASSERT_TRUE(StoreV24DialogInput(input, kPorts, r).Stored);
  EXPECT_EQ(r.Paritaet, Even);
}

// Positions that no entry stands for never put a value outside an enumeration into the record
// and never read outside the port table.
TEST(V24StoreTest, PositionsOutsideTheEntriesKeepTheirFields) {
  const V24ParameterTag original = Unshowable();
  for (const int bad : {kNoSelection, -7, 6, 255}) {
    V24ParameterTag r = original;
    const V24DialogInput input{{bad, bad, bad, bad, bad, bad, bad, bad}, "250", "-5"};
    ASSERT_TRUE(StoreV24DialogInput(input, kPorts, r).Stored);
    EXPECT_EQ(r, original) << "position " << bad;
  }
  V24ParameterTag r = original;
  V24DialogInput at_end = V24DialogInputOf(r, kPorts);
  at_end.Positions.Schnittstelle = static_cast<int>(kPorts.size());
  ASSERT_TRUE(StoreV24DialogInput(at_end, std::span(kPorts).first(2), r).Stored);
  EXPECT_EQ(r.Schnittstelle, original.Schnittstelle);
}

TEST(V24StoreTest, NonNumericReadTimeoutStopsAfterTheListFields) {
  V24ParameterTag r = Showable();
  const V24DialogInput input{{1, 1, 0, 0, 0, 0, 0, 0}, "abc", "77"};
  const V24StoreResult result = StoreV24DialogInput(input, kPorts, r);
  EXPECT_FALSE(result.Stored);
  EXPECT_EQ(result.NotAnInteger, "abc");
  EXPECT_EQ(r.DatenBits, D_8);  // written before the timeouts
  EXPECT_EQ(r.Paritaet, Odd);
  EXPECT_EQ(r.RXTimeOut, 250);  // everything from the timeouts on stays
  EXPECT_EQ(r.TXTimeOut, -5);
  EXPECT_EQ(r.Schnittstelle, Com_10);
  EXPECT_EQ(r.KeinNullZeichen, 1);
}

TEST(V24StoreTest, NonNumericWriteTimeoutStopsAfterTheReadTimeout) {
  V24ParameterTag r = Showable();
  const V24DialogInput input{{0, 0, 0, 0, 0, 0, 0, 0}, "42", " 1 2 "};
  const V24StoreResult result = StoreV24DialogInput(input, kPorts, r);
  EXPECT_FALSE(result.Stored);
  EXPECT_EQ(result.NotAnInteger, " 1 2 ");  // the text as typed
  EXPECT_EQ(r.RXTimeOut, 42);
  EXPECT_EQ(r.TXTimeOut, -5);
  EXPECT_EQ(r.Schnittstelle, Com_10);
}

TEST(TimeoutTextTest, TakesDecimalNumbersWithSignAndBlanks) {
  EXPECT_EQ(ParseTimeoutText("250"), 250);
  EXPECT_EQ(ParseTimeoutText("  250\t"), 250);
  EXPECT_EQ(ParseTimeoutText("+7"), 7);
  EXPECT_EQ(ParseTimeoutText("-1"), -1);
  EXPECT_EQ(ParseTimeoutText("007"), 7);
  EXPECT_EQ(ParseTimeoutText("-0"), 0);
  EXPECT_EQ(ParseTimeoutText("2147483647"), std::numeric_limits<std::int32_t>::max());
  EXPECT_EQ(ParseTimeoutText("-2147483648"), std::numeric_limits<std::int32_t>::min());
}

TEST(TimeoutTextTest, RefusesEverythingElse) {
  for (const char* text : {"", "   ", "-", "+", "+-1", "--1", "1 2", "12a", "1.5", "1e3", "$FF",
                           "0x10", "2147483648", "-2147483649", "99999999999999999999999"}) {
    EXPECT_EQ(ParseTimeoutText(text), std::nullopt) << '"' << text << '"';
  }
}

TEST(TimeoutTextTest, ErrorMessageQuotesTheText) {
  EXPECT_EQ(NotAnIntegerMessage("12a"), "'12a' ist kein g\u00fcltiger Integerwert");
}

TEST(PortTableTest, CountsOutsideTheTableAreBounded) {
  const std::array<std::uint8_t, 257> table{};
  EXPECT_TRUE(PortTableOf(table.data(), -1).empty());
  EXPECT_TRUE(PortTableOf(nullptr, 3).empty());
  EXPECT_EQ(PortTableOf(table.data(), 3).size(), 3U);
  EXPECT_EQ(PortTableOf(table.data(), 1000).size(), 256U);
}

// --- one showing of the dialog for a component ---

struct ShowCall {
  int Language = -1;
  std::vector<std::uint8_t> Ports;
  const bool* Flags = nullptr;
  V24ParameterTag Shown;
};

class RunV24DialogTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = testing::TempDir() + "v24dialogXXXXXX";
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    host_.File = (dir_ / kDefaultSettingsFileName).string();
    host_.PortsFoundByNextScan = kPorts;
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  // Shows the dialog through a stand-in that records what it was given, applies Edit to the
  // record and answers Result.
  int Run(int Result, const std::function<void(V24ParameterTag&)>& Edit = {}) {
    return RunV24Dialog(host_, [&](int Language, std::span<const std::uint8_t> Ports,
                                   const bool* Flags, V24ParameterTag* Record) {
      call_ = ShowCall{Language, {Ports.begin(), Ports.end()}, Flags, *Record};
      if (Edit) Edit(*Record);
      return Result;
    });
  }

  std::vector<char> FileBytes() const {
    std::ifstream in(host_.File, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  void WriteFile(const V24ParameterTag& r) const {
    ASSERT_EQ(TV24Parameter::WriteParameterFile(host_.File, &r), kParameterFileOk);
  }
  std::vector<char> BytesOf(const V24ParameterTag& r) const {
    const V24ParameterBytes b = EncodeV24Parameter(r);
    return {b.begin(), b.end()};
  }

  fs::path dir_;
  FakeV24DialogHost host_;
  ShowCall call_;
};

TEST_F(RunV24DialogTest, ShowsTheFreshScanTheFlagsAndTheLanguage) {
  host_.Language = 1;
  host_.Flags.SetParitaet(true);
  Run(kModalCancel);
  EXPECT_EQ(host_.Scans, 1);
  EXPECT_EQ(call_.Ports, kPorts);
  EXPECT_EQ(call_.Language, 1);
  EXPECT_EQ(call_.Flags, host_.Flags.GetFlags());
  EXPECT_EQ(call_.Shown, DefaultV24Parameter());
  EXPECT_EQ(host_.ReadsOutsideTable, 0);
}

TEST_F(RunV24DialogTest, OkStoresTheEditedCopyAndWritesTheFileWithStreamOn) {
  host_.Stream = true;
  EXPECT_EQ(Run(kModalOk, [](V24ParameterTag& r) { r.Paritaet = Odd; }), kModalOk);
  V24ParameterTag expected = DefaultV24Parameter();
  expected.Paritaet = Odd;
  EXPECT_EQ(*host_.V24().GetParameter(false, {}), expected);
  EXPECT_EQ(FileBytes(), BytesOf(expected));
}

TEST_F(RunV24DialogTest, OkWithoutChangesWritesTheRecordAsItWas) {
  host_.Stream = true;
  WriteFile(Showable());
  // Someone else changes the file while the dialog is shown; OK writes the shown record back.
  Run(kModalOk, [&](V24ParameterTag&) { WriteFile(DefaultV24Parameter()); });
  EXPECT_EQ(call_.Shown, Showable());  // read from the file before showing
  EXPECT_EQ(FileBytes(), BytesOf(Showable()));
}

TEST_F(RunV24DialogTest, WithoutStreamOnNoFileIsTouched) {
  Run(kModalOk, [](V24ParameterTag& r) { r.Baudrate = B__9600; });
  EXPECT_EQ(host_.V24().Baudrate(), B__9600);
  EXPECT_FALSE(fs::exists(host_.File));
}

TEST_F(RunV24DialogTest, CancelLeavesRecordAndFileAlone) {
  host_.Stream = true;
  WriteFile(Showable());
  EXPECT_EQ(Run(kModalCancel, [](V24ParameterTag& r) { r = DefaultV24Parameter(); }), kModalCancel);
  EXPECT_EQ(*host_.V24().GetParameter(false, {}), Showable());
  EXPECT_EQ(FileBytes(), BytesOf(Showable()));
}

TEST_F(RunV24DialogTest, EveryOkReopensAnOpenPortOnTheStoredPort) {
  host_.Open = true;
  Run(kModalOk);
  Run(kModalOk, [](V24ParameterTag& r) { r.Schnittstelle = Com__3; });
  Run(kModalCancel, [](V24ParameterTag& r) { r.Schnittstelle = Com_10; });
  EXPECT_EQ(host_.Reopened, (std::vector<ComTag>{Com__1, Com__3}));
}

TEST_F(RunV24DialogTest, ClosedPortIsNotOpened) {
  Run(kModalOk);
  EXPECT_TRUE(host_.Reopened.empty());
}

TEST_F(RunV24DialogTest, NoPortsGiveAnEmptyTable) {
  host_.PortsFoundByNextScan.clear();
  Run(kModalCancel);
  EXPECT_TRUE(call_.Ports.empty());
  EXPECT_EQ(host_.ReadsOutsideTable, 0);
}

}  // namespace
}  // namespace vestrel::comport
