// The settings dialog's sequence (RunV24Dialog) on the real port component, with a scripted
// dialog instead of widgets: what OK and Cancel do to the record, the settings file and an open
// port on fake lines.
#include "comport/comport_dialog_host.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/comport/fake_port_fixture.h"

namespace vestrel::comport::fakes {
namespace {

// A dialog that applies Edit to the record it is given and ends with Result.
ShowV24DialogFn ScriptedDialog(int Result, std::function<void(V24ParameterTag&)> Edit = {}) {
  return [Result, Edit](int, std::span<const std::uint8_t>, const bool*, V24ParameterTag* Record) {
    if (Edit) Edit(*Record);
    return Result;
  };
}

std::vector<char> FileBytes(const std::filesystem::path& File) {
  std::ifstream in(File, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

std::vector<char> BytesOf(const V24ParameterTag& Record) {
  const V24ParameterBytes b = EncodeV24Parameter(Record);
  return {b.begin(), b.end()};
}

class DialogHostTest : public FakePortTest {
 protected:
  TComPortDialogHost host{port};
};

TEST_F(DialogHostTest, OkClosesAndOpensAnOpenPortWithTheEditedRecord) {
  ASSERT_NE(OpenWith(DefaultV24Parameter(), 3), INVALID_HANDLE_VALUE);
  const std::size_t states_before = line->statesSet.size();

  EXPECT_EQ(RunV24Dialog(host, ScriptedDialog(kModalOk,
                                              [](V24ParameterTag& r) {
                                                r.Baudrate = B_19200;
                                                r.Schnittstelle = Com__6;
                                              })),
            kModalOk);

  EXPECT_EQ(asked, (std::vector<unsigned>{4, 6}));
  EXPECT_TRUE(port.GetPortOpen());
  EXPECT_EQ(port.GetNotifyWindow(), &queue);
  EXPECT_EQ(port.GetV24Parameter()->Baudrate, B_19200);
  EXPECT_EQ(port.GetV24Parameter()->Schnittstelle, Com__6);
  std::lock_guard lock(line->mutex);
  // Close put back the state found at the first Open, then the second Open set its own.
  ASSERT_EQ(line->statesSet.size(), states_before + 2);
  EXPECT_EQ(line->state.BaudRate, 19200u);
  EXPECT_TRUE(shown.empty());
}

TEST_F(DialogHostTest, EveryOkReopensEvenWithoutChanges) {
  ASSERT_NE(OpenWith(DefaultV24Parameter(), 1), INVALID_HANDLE_VALUE);
  for (int i = 0; i < 2; ++i) EXPECT_EQ(RunV24Dialog(host, ScriptedDialog(kModalOk)), kModalOk);
  EXPECT_EQ(asked, (std::vector<unsigned>{2, 2, 2}));
  EXPECT_TRUE(port.GetPortOpen());
}

TEST_F(DialogHostTest, OkLeavesAClosedPortClosed) {
  EXPECT_EQ(RunV24Dialog(host, ScriptedDialog(kModalOk)), kModalOk);
  EXPECT_TRUE(asked.empty());
  EXPECT_FALSE(port.GetPortOpen());
}

TEST_F(DialogHostTest, CancelNeitherStoresNorReopens) {
  ASSERT_NE(OpenWith(DefaultV24Parameter(), 1), INVALID_HANDLE_VALUE);
  const HANDLE handle = port.GetPortHandle();
  EXPECT_EQ(RunV24Dialog(
                host, ScriptedDialog(kModalCancel, [](V24ParameterTag& r) { r.Paritaet = Even; })),
            kModalCancel);
  EXPECT_EQ(asked, (std::vector<unsigned>{2}));
  EXPECT_EQ(port.GetPortHandle(), handle);
  EXPECT_EQ(port.GetV24Parameter()->Paritaet, NoParity);
}

TEST_F(DialogHostTest, PortThatCannotBeOpenedAgainIsReportedAndTheRecordKept) {
  ASSERT_NE(OpenWith(DefaultV24Parameter(), 1), INVALID_HANDLE_VALUE);
  refused = {5};
  port.SetLanguage(1);
  EXPECT_EQ(RunV24Dialog(host, ScriptedDialog(kModalOk,
                                              [](V24ParameterTag& r) {
                                                r.Schnittstelle = Com__5;
                                                r.StopBits = S_2;
                                              })),
            kModalOk);
  EXPECT_EQ(shown, (std::vector<std::string>{"Cannot open COM5! "}));
  EXPECT_FALSE(port.GetPortOpen());
  EXPECT_EQ(port.GetV24Parameter()->StopBits, S_2);
  EXPECT_EQ(port.GetV24Parameter()->Schnittstelle, Com__5);  // stored before the attempt
}

TEST_F(DialogHostTest, WithStreamOnOkWritesTheFileAndCancelLeavesIt) {
  const auto file = dir.path() / "ComData.cfg";
  V24ParameterTag stored = DefaultV24Parameter();
  stored.Handshake = RTS_CTS;
  ASSERT_EQ(TV24Parameter::WriteParameterFile(file.string(), &stored), kParameterFileOk);
  port.SetStreamOn(true);
  port.SetDatei(file.string());

  V24ParameterTag seen{};
  EXPECT_EQ(RunV24Dialog(host, ScriptedDialog(kModalCancel,
                                              [&](V24ParameterTag& r) {
                                                seen = r;
                                                r.Handshake = XonXoff;
                                              })),
            kModalCancel);
  EXPECT_EQ(seen, stored);  // the dialog was given the file's record
  EXPECT_EQ(FileBytes(file), BytesOf(stored));

  EXPECT_EQ(RunV24Dialog(
                host, ScriptedDialog(kModalOk, [](V24ParameterTag& r) { r.Handshake = XonXoff; })),
            kModalOk);
  stored.Handshake = XonXoff;
  EXPECT_EQ(FileBytes(file), BytesOf(stored));
  EXPECT_EQ(*port.GetV24Parameter(), stored);
}

}  // namespace
}  // namespace vestrel::comport::fakes
