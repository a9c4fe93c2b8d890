// The Win32 settings dialog under Wine: its form in German and English, the language switch
// through the port component, OK and Cancel (button, Escape, close box) on the record, and a
// timeout that is not a whole number. With VESTREL_SCREENSHOT_DIR set, pictures of the dialog in
// both languages are saved there.
// clang-format off
#include "comport/win32/v24_dialog.h"
#include "tests/comport_dialog/fake_v24_dialog_host.h"
#include "tests/win32/win32_test_support.h"
// clang-format on

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

using namespace vestrel::comport;
using vestrel::test::win32::BoxCloser;
using vestrel::test::win32::PressButton;
using vestrel::test::win32::Text;

namespace {

struct Row {
  int Label;
  int LabelTop;
  const char* German;  // UTF-8
  const char* English;
  int Box;
  int BoxTop;
  bool Editable;
  std::vector<std::string> Entries;
  bool EnabledInForm;
};

const std::vector<Row>& Rows() {
  // clang-format off
  static const std::vector<Row> rows = {
      {Label_Datenbit, 20, "&Datenbit", "Data Bits", Datenbit_Box, 12, false, {"7", "8"}, false},
      {Label_Paritaet, 52, "Parit\u00e4t", "Parity", Paritaet_Box, 44, false,
       {"keine", "ungerade", "gerade"}, false},
      {Label_StopBits, 84, "StopBits", "Stop Bits", StopBit_Box, 76, false, {"1", "1.5", "2"},
       false},
      {Label_Baudrate, 116, "Baudrate", "Baud Rate", Baudrate_Box, 108, false,
       {"1200", "2400", "4800", "9600", "19200", "38400"}, false},
      {Label_Handshake, 148, "Handshake", "Flow Control", Handshake_Box, 140, false,
       {"kein Handshake", "RTS/CTS", "X_On/X_Off", "WTW X_On/X_Off"}, false},
      {Label_RXTimeout, 180, "RX_Timeout /ms", "RX Timeout/ms", RX_Timeout_Box, 172, true,
       {"0", "10", "100", "1000"}, false},
      {Label_TXTimeout, 212, "TX_Timeout /ms", "TX Timeout/ms", TX_Timeout_Box, 204, true,
       {"0", "10", "100", "1000"}, false},
      {Label_NoNullChar, 244, "kein Nullzeichen", "No NullChar", NullZeichenBox, 240, true,
       {"false", "true"}, true},
      {Label_NoString, 276, "kein String", "No String", NoStringBox, 272, true, {"false", "true"},
       true},
      {Label_Schnittstelle, 308, "Schnittstelle", "Com Port", Schnittstellen_Box, 308, false,
       {"COM1", "COM2", "COM3", "COM4"}, true},
  };
  // clang-format on
  return rows;
}

int Dpi() {
  HDC screen = GetDC(nullptr);
  const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
  ReleaseDC(nullptr, screen);
  return dpi;
}

int Scaled(int pixels) {
  return MulDiv(pixels, Dpi(), 96);
}

// A control's text in UTF-8, as the rows give it.
std::string Utf8Text(HWND window) {
  wchar_t wide[256] = L"";
  GetWindowTextW(window, wide, 256);
  char text[512] = "";
  WideCharToMultiByte(CP_UTF8, 0, wide, -1, text, sizeof text, nullptr, nullptr);
  return text;
}

RECT ChildRect(HWND control) {
  RECT r{};
  GetWindowRect(control, &r);
  MapWindowPoints(nullptr, GetParent(control), reinterpret_cast<POINT*>(&r), 2);
  return r;
}

std::vector<std::string> Entries(HWND box) {
  std::vector<std::string> entries;
  const auto count = static_cast<int>(SendMessageA(box, CB_GETCOUNT, 0, 0));
  for (int i = 0; i < count; ++i) {
    char text[64] = "";
    SendMessageA(box, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(text));
    entries.push_back(text);
  }
  return entries;
}

void SaveScreenshot(HWND dialog, const char* name) {
  if (const char* dir = std::getenv("VESTREL_SCREENSHOT_DIR")) {
    EXPECT_TRUE(vestrel::test::win32::SaveScreenshot(dialog, std::string(dir) + "\\" + name));
  }
}

TEST(Win32V24Dialog, FormHasItsRowsWhereTheFormDescriptionPutsThem) {
  const std::uint8_t ports[] = {0, 1, 2};
  TV24_Dialog dialog(nullptr, 0, ports, 3);
  HWND form = dialog.Handle();
  EXPECT_EQ(Text(form), "Einstellungen");
  RECT client{};
  GetClientRect(form, &client);
  EXPECT_EQ(client.right, Scaled(383));
  EXPECT_EQ(client.bottom, Scaled(417));
  EXPECT_FALSE(GetWindowLongA(form, GWL_STYLE) & WS_THICKFRAME);  // not resizable
  for (const Row& row : Rows()) {
    SCOPED_TRACE(row.English);
    HWND label = GetDlgItem(form, row.Label);
    HWND box = GetDlgItem(form, row.Box);
    EXPECT_EQ(Utf8Text(label), row.German);
    EXPECT_EQ(ChildRect(label).left, Scaled(32 + 24));
    EXPECT_EQ(ChildRect(label).top, Scaled(24 + row.LabelTop));
    EXPECT_EQ(ChildRect(box).left, Scaled(32 + 136));
    EXPECT_EQ(ChildRect(box).top, Scaled(24 + row.BoxTop));
    EXPECT_EQ(ChildRect(box).right - ChildRect(box).left, Scaled(145));
    EXPECT_EQ((GetWindowLongA(box, GWL_STYLE) & 3) == CBS_DROPDOWN, row.Editable);
    EXPECT_EQ(Entries(box), row.Entries);
    EXPECT_EQ(IsWindowEnabled(box) != 0, row.EnabledInForm);
    EXPECT_EQ(GetWindow(label, GW_HWNDNEXT), box);  // the label's accelerator reaches its box
  }
  EXPECT_EQ(Text(GetDlgItem(form, V24_Adjust_okay)), "OK");
  EXPECT_EQ(Text(GetDlgItem(form, V24_Adjust_cancel)), "Abbrechen");
  const RECT okay = ChildRect(GetDlgItem(form, V24_Adjust_okay));
  EXPECT_EQ(okay.left, Scaled(40));
  EXPECT_EQ(okay.top, Scaled(376));
  EXPECT_EQ(ChildRect(GetDlgItem(form, V24_Adjust_cancel)).left, Scaled(232));
}

TEST(Win32V24Dialog, LanguageSwitchesThroughThePortComponent) {
  TComPort port;
  BoxCloser closer;
  std::vector<std::string> seen;
  closer.onDialog = [&seen](HWND dialog) {
    seen.push_back(Utf8Text(dialog));
    for (int id : {Label_Datenbit, Label_Handshake, Label_Schnittstelle, V24_Adjust_okay,
                   V24_Adjust_cancel}) {
      seen.push_back(Utf8Text(GetDlgItem(dialog, id)));
    }
    seen.push_back(Entries(GetDlgItem(dialog, Handshake_Box)).front());
    SaveScreenshot(dialog, Utf8Text(dialog) == "Settings" ? "settings-dialog-english.png"
                                                          : "settings-dialog-german.png");
    PressButton(dialog, V24_Adjust_cancel);
  };
  port.SetLanguage(1);
  EXPECT_EQ(port.OpenDialog(nullptr), kModalCancel);
  port.SetLanguage(0);
  EXPECT_EQ(port.OpenDialog(nullptr), kModalCancel);
  EXPECT_EQ(seen, (std::vector<std::string>{"Settings", "Data Bits", "Flow Control", "Com Port",
                                            "OK", "Cancel", "kein Handshake", "Einstellungen",
                                            "&Datenbit", "Handshake", "Schnittstelle", "OK",
                                            "Abbrechen", "kein Handshake"}));
  EXPECT_EQ(port.GetSettingsDialog(), nullptr);
}

TEST(Win32V24Dialog, OkStoresTheEditsAndEveryWayOfCancellingKeepsTheRecord) {
  struct Case {
    const char* name;
    std::function<void(HWND)> close;
    int result;
  };
  const Case cases[] = {
      {"OK", [](HWND d) { PressButton(d, V24_Adjust_okay); }, kModalOk},
      {"Cancel", [](HWND d) { PressButton(d, V24_Adjust_cancel); }, kModalCancel},
      {"Escape", [](HWND d) { PostMessageA(d, WM_KEYDOWN, VK_ESCAPE, 0); }, kModalCancel},
      {"close box", [](HWND d) { PostMessageA(d, WM_CLOSE, 0, 0); }, kModalCancel},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeV24DialogHost host;
    host.PortsFoundByNextScan = {0, 2};
    std::fill_n(host.Flags.GetFlags(), kDlgFlagCount, true);
    const V24ParameterTag before = *host.Parameter.GetParameter(false, "");
    BoxCloser closer;
    closer.onDialog = [&c](HWND dialog) {
      SendDlgItemMessageA(dialog, Paritaet_Box, CB_SETCURSEL, 1, 0);  // "ungerade"
      SetDlgItemTextA(dialog, RX_Timeout_Box, "250");
      SendDlgItemMessageA(dialog, Schnittstellen_Box, CB_SETCURSEL, 1, 0);  // COM3
      c.close(dialog);
    };
    EXPECT_EQ(OpenV24Dialog(host, nullptr), c.result);
    const V24ParameterTag after = *host.Parameter.GetParameter(false, "");
    if (c.result == kModalOk) {
      EXPECT_EQ(after.Paritaet, Odd);
      EXPECT_EQ(after.RXTimeOut, 250);
      EXPECT_EQ(after.Schnittstelle, 2);
    } else {
      EXPECT_EQ(after, before);
    }
    EXPECT_TRUE(closer.boxes.empty());
  }
}

TEST(Win32V24Dialog, TimeoutThatIsNoWholeNumberKeepsTheDialogOpen) {
  FakeV24DialogHost host;
  host.PortsFoundByNextScan = {0};
  std::fill_n(host.Flags.GetFlags(), kDlgFlagCount, true);
  BoxCloser closer;
  bool stayedOpen = false;
  closer.onDialog = [&](HWND dialog) {
    SetDlgItemTextA(dialog, RX_Timeout_Box, "12a");
    SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(V24_Adjust_okay, BN_CLICKED), 0);
    stayedOpen = IsWindowVisible(dialog) != 0;
    SetDlgItemTextA(dialog, RX_Timeout_Box, "12");
    SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(V24_Adjust_okay, BN_CLICKED), 0);
  };
  EXPECT_EQ(OpenV24Dialog(host, nullptr), kModalOk);
  EXPECT_TRUE(stayedOpen);
  ASSERT_EQ(closer.boxes.size(), 1u);
  EXPECT_EQ(closer.boxes[0].text, "'12a' ist kein g\xFCltiger Integerwert");  // the ANSI page
  EXPECT_TRUE(closer.boxes[0].errorIcon);
  EXPECT_EQ(host.Parameter.GetParameter(false, "")->RXTimeOut, 12);
}

}  // namespace
