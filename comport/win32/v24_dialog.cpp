#include "comport/win32/v24_dialog.h"  // and <windows.h>

#include <commctrl.h>

#include <algorithm>
#include <array>
#include <cwchar>
#include <stdexcept>
#include <string>
#include <vector>

#include "comport/comport_dialog_host.h"

namespace vestrel::comport {
namespace {

constexpr int kDesignDpi = 96;
constexpr int kClientWidth = 383;
constexpr int kClientHeight = 417;
constexpr RECT kOuterPanel = {0, 0, 383, 409};    // V24AdjustPanel, lowered inner bevel
constexpr RECT kInnerPanel = {32, 24, 353, 369};  // V24AdjustPanel1 (32, 24, 321 x 345), raised
constexpr int kLabelLeft = 24;                    // in V24AdjustPanel1
constexpr int kLabelHeight = 13;
constexpr int kBoxLeft = 136;
constexpr int kBoxWidth = 145;
constexpr int kBoxHeight = 21;
constexpr int kDropDownHeight = 120;
constexpr int kRxTimeoutMaxLength = 4;
constexpr int kGlyphSize = 16;
constexpr DWORD kDialogStyle = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME;

struct RowDesign {
  int Label;
  int LabelTop;
  const wchar_t* German;
  const wchar_t* English;
  int Box;
  int BoxTop;
  bool Editable;
  std::vector<const wchar_t*> Entries;
  bool EnabledInForm;
};

const std::array<RowDesign, 10>& Rows() {
  // clang-format off
  static const std::array<RowDesign, 10> rows = {{
      {Label_Datenbit, 20, L"&Datenbit", L"Data Bits", Datenbit_Box, 12, false, {L"7", L"8"},
       false},
      {Label_Paritaet, 52, L"Parit\u00e4t", L"Parity", Paritaet_Box, 44, false,
       {L"keine", L"ungerade", L"gerade"}, false},
      {Label_StopBits, 84, L"StopBits", L"Stop Bits", StopBit_Box, 76, false,
       {L"1", L"1.5", L"2"}, false},
      {Label_Baudrate, 116, L"Baudrate", L"Baud Rate", Baudrate_Box, 108, false,
       {L"1200", L"2400", L"4800", L"9600", L"19200", L"38400"}, false},
      {Label_Handshake, 148, L"Handshake", L"Flow Control", Handshake_Box, 140, false,
       {L"kein Handshake", L"RTS/CTS", L"X_On/X_Off", L"WTW X_On/X_Off"}, false},
      {Label_RXTimeout, 180, L"RX_Timeout /ms", L"RX Timeout/ms", RX_Timeout_Box, 172, true,
       {L"0", L"10", L"100", L"1000"}, false},
      {Label_TXTimeout, 212, L"TX_Timeout /ms", L"TX Timeout/ms", TX_Timeout_Box, 204, true,
       {L"0", L"10", L"100", L"1000"}, false},
      {Label_NoNullChar, 244, L"kein Nullzeichen", L"No NullChar", NullZeichenBox, 240, true,
       {L"false", L"true"}, true},
      {Label_NoString, 276, L"kein String", L"No String", NoStringBox, 272, true,
       {L"false", L"true"}, true},
      {Label_Schnittstelle, 308, L"Schnittstelle", L"Com Port", Schnittstellen_Box, 308, false,
       {L"COM1", L"COM2", L"COM3", L"COM4"}, true},
  }};
  // clang-format on
  return rows;
}

int Scaled(int Pixels, int Dpi) {
  return MulDiv(Pixels, Dpi, kDesignDpi);
}

int SystemDpi() {
  HDC screen = GetDC(nullptr);
  const int dpi = screen != nullptr ? GetDeviceCaps(screen, LOGPIXELSY) : kDesignDpi;
  if (screen != nullptr) ReleaseDC(nullptr, screen);
  return dpi > 0 ? dpi : kDesignDpi;
}

std::wstring Wide(const std::string& Utf8) {
  if (Utf8.empty()) return {};
  const int length =
      MultiByteToWideChar(CP_UTF8, 0, Utf8.data(), static_cast<int>(Utf8.size()), nullptr, 0);
  std::wstring text(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, Utf8.data(), static_cast<int>(Utf8.size()), text.data(), length);
  return text;
}

std::string Utf8(const std::wstring& Text) {
  if (Text.empty()) return {};
  const int length = WideCharToMultiByte(CP_UTF8, 0, Text.data(), static_cast<int>(Text.size()),
                                         nullptr, 0, nullptr, nullptr);
  std::string text(static_cast<std::size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, Text.data(), static_cast<int>(Text.size()), text.data(), length,
                      nullptr, nullptr);
  return text;
}

std::wstring WindowText(HWND Window) {
  std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(Window)) + 1, L'\0');
  text.resize(
      static_cast<std::size_t>(GetWindowTextW(Window, text.data(), static_cast<int>(text.size()))));
  return text;
}

// Blanks around a text, as the user may type them.
std::wstring Trimmed(const std::wstring& Text) {
  const auto first = Text.find_first_not_of(L" \t");
  if (first == std::wstring::npos) return {};
  return Text.substr(first, Text.find_last_not_of(L" \t") - first + 1);
}

// Position of the entry that an editable box's text names (kNoSelection for any other text):
// what the user typed counts, not the entry last picked from the list.
int TypedPosition(HWND Box) {
  const std::wstring typed = Trimmed(WindowText(Box));
  const LRESULT found = SendMessageW(Box, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                                     reinterpret_cast<LPARAM>(typed.c_str()));
  return found == CB_ERR ? kNoSelection : static_cast<int>(found);
}

int Selected(HWND Box) {
  const LRESULT selected = SendMessageW(Box, CB_GETCURSEL, 0, 0);
  return selected == CB_ERR ? kNoSelection : static_cast<int>(selected);
}

// The caption of the component's boxes: the program's name, as the system names its own boxes.
std::wstring ProgramName() {
  std::wstring path(MAX_PATH, L'\0');
  path.resize(GetModuleFileNameW(nullptr, path.data(), MAX_PATH));
  const auto slash = path.find_last_of(L"\\/");
  std::wstring name = slash == std::wstring::npos ? path : path.substr(slash + 1);
  const auto dot = name.find_last_of(L'.');
  return dot == std::wstring::npos ? name : name.substr(0, dot);
}

void ShowErrorBox(HWND Owner, const std::string& Text) {
  MessageBoxW(Owner, Wide(Text).c_str(), ProgramName().c_str(), MB_OK | MB_ICONERROR);
}

// The glyph of a button: a check mark for OK, a cross for Cancel, as pen strokes in a square of
// kGlyphSize design pixels.
void StrokeGlyph(HDC Dc, int Id, int Left, int Top, int Dpi, COLORREF Colour) {
  HPEN pen = nullptr;
  LOGBRUSH brush{BS_SOLID, Colour, 0};
  pen = ExtCreatePen(PS_GEOMETRIC | PS_SOLID | PS_ENDCAP_ROUND | PS_JOIN_ROUND,
                     static_cast<DWORD>(std::max(2, Scaled(5, Dpi) / 2)), &brush, 0, nullptr);
  HGDIOBJ previous = SelectObject(Dc, pen);
  auto at = [&](int x, int y) { return POINT{Left + Scaled(x, Dpi), Top + Scaled(y, Dpi)}; };
  if (Id == V24_Adjust_okay) {
    const POINT check[] = {at(3, 8), at(6, 12), at(13, 4)};
    Polyline(Dc, check, 3);
  } else {
    const POINT down[] = {at(4, 4), at(12, 12)};
    const POINT up[] = {at(12, 4), at(4, 12)};
    Polyline(Dc, down, 2);
    Polyline(Dc, up, 2);
  }
  SelectObject(Dc, previous);
  DeleteObject(pen);
}

}  // namespace

TV24_Dialog::TV24_Dialog(HWND Owner, int Language, const std::uint8_t* PortTable, int PortCount)
    : owner_(Owner),
      dpi_(SystemDpi()),
      PortTable(PortTableOf(PortTable, PortCount)),
      Language(Language) {
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&controls);
  font_ = CreateFontW(-MulDiv(8, dpi_, 72), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE,
                      DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                      DEFAULT_PITCH | FF_SWISS, L"MS Sans Serif");
  // An empty dialog template: the controls are placed in pixels, as the form description
  // gives them, rather than in dialog units.
  struct alignas(DWORD) {
    DLGTEMPLATE head;
    WORD menu, windowClass, title;
  } form{};
  form.head.style = kDialogStyle;
  CreateDialogIndirectParamW(GetModuleHandleW(nullptr), &form.head, Owner, DialogProc,
                             reinterpret_cast<LPARAM>(this));
  if (hwnd_ == nullptr) throw std::runtime_error("The settings dialog cannot be created");
  SetWindowTextW(hwnd_, L"Einstellungen");
  RECT outer{0, 0, Scaled(kClientWidth, dpi_), Scaled(kClientHeight, dpi_)};
  AdjustWindowRectEx(&outer, kDialogStyle, FALSE, WS_EX_DLGMODALFRAME);
  // The form description's own place (left 803, top 161) could lie off a small screen.
  SetWindowPos(hwnd_, nullptr, 0, 0, outer.right - outer.left, outer.bottom - outer.top,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  CreateControls();
  if (Language != 0) ApplyEnglishTexts();
}

TV24_Dialog::~TV24_Dialog() {
  if (hwnd_ != nullptr) DestroyWindow(hwnd_);
  if (font_ != nullptr) DeleteObject(font_);
}

HWND TV24_Dialog::AddControl(int Id, const wchar_t* WindowClass, const std::wstring& Text,
                             DWORD Style, int Left, int Top, int Width, int Height) {
  HWND control = CreateWindowExW(
      0, WindowClass, Text.c_str(), WS_CHILD | WS_VISIBLE | Style, Scaled(Left, dpi_),
      Scaled(Top, dpi_), Scaled(Width, dpi_), Scaled(Height, dpi_), hwnd_,
      reinterpret_cast<HMENU>(static_cast<INT_PTR>(Id)), GetModuleHandleW(nullptr), nullptr);
  SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
  return control;
}

// Label and box of one row, in this order: the label's accelerator focuses the box after it.
void TV24_Dialog::AddRow(int Row) {
  const RowDesign& row = Rows()[static_cast<std::size_t>(Row)];
  const int left = static_cast<int>(kInnerPanel.left);
  const int top = static_cast<int>(kInnerPanel.top);
  AddControl(row.Label, WC_STATICW, row.German, SS_LEFT, left + kLabelLeft, top + row.LabelTop,
             kBoxLeft - kLabelLeft - 4, kLabelHeight);
  const DWORD style = (row.Editable ? CBS_DROPDOWN | CBS_AUTOHSCROLL : CBS_DROPDOWNLIST) |
                      WS_VSCROLL | WS_TABSTOP | (row.EnabledInForm ? 0u : WS_DISABLED);
  HWND box = AddControl(row.Box, WC_COMBOBOXW, L"", style, left + kBoxLeft, top + row.BoxTop,
                        kBoxWidth, kBoxHeight + kDropDownHeight);
  for (const wchar_t* entry : row.Entries)
    SendMessageW(box, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(entry));
}

void TV24_Dialog::CreateControls() {
  for (int row = 0; row < static_cast<int>(Rows().size()); ++row) AddRow(row);
  SendMessageW(GetDlgItem(hwnd_, RX_Timeout_Box), CB_LIMITTEXT, kRxTimeoutMaxLength, 0);
  constexpr DWORD kButton = BS_OWNERDRAW | WS_TABSTOP;
  AddControl(V24_Adjust_okay, WC_BUTTONW, L"OK", kButton, 40, 376, 97, 25);
  AddControl(V24_Adjust_cancel, WC_BUTTONW, L"Abbrechen", kButton, 232, 376, 105, 25);
}

void TV24_Dialog::ApplyEnglishTexts() {
  SetWindowTextW(hwnd_, L"Settings");
  for (const RowDesign& row : Rows()) SetDlgItemTextW(hwnd_, row.Label, row.English);
  SetDlgItemTextW(hwnd_, V24_Adjust_cancel, L"Cancel");
}

void TV24_Dialog::LoadV24Parameter(const bool* Flags, V24ParameterTag* Record) {
  // The boxes in the order of the flags.
  constexpr std::array<int, kDlgFlagCount> boxes = {
      Datenbit_Box,  Schnittstellen_Box, Paritaet_Box,   StopBit_Box,    Baudrate_Box,
      Handshake_Box, RX_Timeout_Box,     TX_Timeout_Box, NullZeichenBox, NoStringBox};
  for (std::size_t i = 0; i < boxes.size(); ++i)
    EnableWindow(GetDlgItem(hwnd_, boxes[i]), Flags[i] ? TRUE : FALSE);

  EditRecord = Record;
  const V24DialogInput input = V24DialogInputOf(*Record, PortTable);
  const V24BoxPositions& p = input.Positions;
  auto select = [this](int Box, int Position) {
    SendDlgItemMessageW(hwnd_, Box, CB_SETCURSEL, static_cast<WPARAM>(Position), 0);
  };
  select(Datenbit_Box, p.DatenBits);
  select(Paritaet_Box, p.Paritaet);
  select(StopBit_Box, p.StopBits);
  select(Baudrate_Box, p.Baudrate);
  select(Handshake_Box, p.Handshake);
  // A longer stored timeout (from a settings file, say) is shown whole, not cut to four
  // characters, so that OK cannot store a different number than the one the user saw.
  const auto rxLength = static_cast<int>(input.RXTimeOutText.size());
  SendDlgItemMessageW(hwnd_, RX_Timeout_Box, CB_LIMITTEXT,
                      static_cast<WPARAM>(std::max(kRxTimeoutMaxLength, rxLength)), 0);
  SetDlgItemTextW(hwnd_, RX_Timeout_Box, Wide(input.RXTimeOutText).c_str());
  SetDlgItemTextW(hwnd_, TX_Timeout_Box, Wide(input.TXTimeOutText).c_str());
  select(NullZeichenBox, p.KeinNullZeichen);
  select(NoStringBox, p.KeinString);
  FillPortBox(p.Schnittstelle);
}

void TV24_Dialog::FillPortBox(int Selected) {
  HWND box = GetDlgItem(hwnd_, Schnittstellen_Box);
  SendMessageW(box, CB_RESETCONTENT, 0, 0);
  for (const std::uint8_t port : PortTable) {
    const std::wstring name = Wide(V24PortName(unsigned{port} + 1U, true));
    SendMessageW(box, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name.c_str()));
  }
  SendMessageW(box, CB_SETCURSEL, static_cast<WPARAM>(Selected), 0);
}

int TV24_Dialog::ShowV24Parameter(const bool* Flags, V24ParameterTag* Record) {
  LoadV24Parameter(Flags, Record);
  const bool ownerWasEnabled = owner_ != nullptr && IsWindowEnabled(owner_);
  if (ownerWasEnabled) EnableWindow(owner_, FALSE);
  modalResult_ = 0;
  ShowWindow(hwnd_, SW_SHOW);
  SetForegroundWindow(hwnd_);
  MSG msg;
  while (modalResult_ == 0) {
    const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
    if (got <= 0) {
      if (got == 0) PostQuitMessage(static_cast<int>(msg.wParam));  // for the outer loop
      modalResult_ = kModalCancel;
      break;
    }
    if (IsDialogMessageW(hwnd_, &msg)) continue;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  // The owner first, so that the system activates it rather than another program's window.
  if (ownerWasEnabled) EnableWindow(owner_, TRUE);
  ShowWindow(hwnd_, SW_HIDE);
  return modalResult_;
}

V24DialogInput TV24_Dialog::CurrentInput() const {
  V24DialogInput input;
  V24BoxPositions& p = input.Positions;
  p.DatenBits = Selected(GetDlgItem(hwnd_, Datenbit_Box));
  p.Paritaet = Selected(GetDlgItem(hwnd_, Paritaet_Box));
  p.StopBits = Selected(GetDlgItem(hwnd_, StopBit_Box));
  p.Baudrate = Selected(GetDlgItem(hwnd_, Baudrate_Box));
  p.Handshake = Selected(GetDlgItem(hwnd_, Handshake_Box));
  p.Schnittstelle = Selected(GetDlgItem(hwnd_, Schnittstellen_Box));
  p.KeinNullZeichen = TypedPosition(GetDlgItem(hwnd_, NullZeichenBox));
  p.KeinString = TypedPosition(GetDlgItem(hwnd_, NoStringBox));
  input.RXTimeOutText = Utf8(WindowText(GetDlgItem(hwnd_, RX_Timeout_Box)));
  input.TXTimeOutText = Utf8(WindowText(GetDlgItem(hwnd_, TX_Timeout_Box)));
  return input;
}

void TV24_Dialog::V24_Adjust_okayClick() {
  if (EditRecord != nullptr) {
    const V24StoreResult stored = StoreV24DialogInput(CurrentInput(), PortTable, *EditRecord);
    if (!stored.Stored) {
      ShowErrorBox(hwnd_, NotAnIntegerMessage(stored.NotAnInteger));
      return;
    }
  }
  modalResult_ = kModalOk;
}

void TV24_Dialog::V24_Adjust_cancelClick() {
  modalResult_ = kModalCancel;
}

// The two panels' bevels: the outer one lowered, the inner one raised.
void TV24_Dialog::Paint() {
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(hwnd_, &paint);
  auto scaled = [this](RECT r) {
    return RECT{Scaled(r.left, dpi_), Scaled(r.top, dpi_), Scaled(r.right, dpi_),
                Scaled(r.bottom, dpi_)};
  };
  RECT outer = scaled(kOuterPanel);
  RECT inner = scaled(kInnerPanel);
  DrawEdge(dc, &outer, BDR_SUNKENINNER, BF_RECT);
  DrawEdge(dc, &inner, BDR_RAISEDINNER, BF_RECT);
  EndPaint(hwnd_, &paint);
}

// A push button with its glyph left of its caption; while disabled, the glyph grey over a white
// copy shifted by one pixel, as the classic disabled glyph looks.
void TV24_Dialog::DrawButton(const DRAWITEMSTRUCT& Item) const {
  RECT face = Item.rcItem;
  const bool pressed = (Item.itemState & ODS_SELECTED) != 0;
  const bool disabled = (Item.itemState & ODS_DISABLED) != 0;
  DrawFrameControl(Item.hDC, &face, DFC_BUTTON, DFCS_BUTTONPUSH | (pressed ? DFCS_PUSHED : 0u));
  const int shift = pressed ? 1 : 0;
  const int glyph = Scaled(kGlyphSize, dpi_);
  const int left = face.left + Scaled(8, dpi_) + shift;
  const int top = (face.top + face.bottom - glyph) / 2 + shift;
  const auto id = static_cast<int>(Item.CtlID);
  const COLORREF colour = id == V24_Adjust_okay ? RGB(0, 128, 0) : RGB(192, 0, 0);
  if (disabled) {
    StrokeGlyph(Item.hDC, id, left + 1, top + 1, dpi_, RGB(255, 255, 255));
    StrokeGlyph(Item.hDC, id, left, top, dpi_, RGB(128, 128, 128));
  } else {
    StrokeGlyph(Item.hDC, id, left, top, dpi_, colour);
  }
  const std::wstring caption = WindowText(Item.hwndItem);
  RECT text = face;
  text.left = left + glyph;
  OffsetRect(&text, shift, shift);
  SetBkMode(Item.hDC, TRANSPARENT);
  SetTextColor(Item.hDC, GetSysColor(disabled ? COLOR_GRAYTEXT : COLOR_BTNTEXT));
  HGDIOBJ previous = SelectObject(Item.hDC, font_);
  DrawTextW(Item.hDC, caption.c_str(), static_cast<int>(caption.size()), &text,
            DT_CENTER | DT_VCENTER | DT_SINGLELINE);
  SelectObject(Item.hDC, previous);
  if ((Item.itemState & ODS_FOCUS) != 0) {
    RECT focus = face;
    InflateRect(&focus, -Scaled(4, dpi_), -Scaled(4, dpi_));
    DrawFocusRect(Item.hDC, &focus);
  }
}

INT_PTR TV24_Dialog::HandleMessage(UINT message, WPARAM wParam, LPARAM) {
  switch (message) {
    case WM_COMMAND:
      if (HIWORD(wParam) != BN_CLICKED) return FALSE;
      if (LOWORD(wParam) == V24_Adjust_okay) V24_Adjust_okayClick();
      if (LOWORD(wParam) == V24_Adjust_cancel) V24_Adjust_cancelClick();
      return TRUE;
    case WM_PAINT:
      Paint();
      return TRUE;
    default:
      return FALSE;
  }
}

INT_PTR CALLBACK TV24_Dialog::DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    auto* dialog = reinterpret_cast<TV24_Dialog*>(lParam);
    dialog->hwnd_ = hwnd;
    SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
    return FALSE;
  }
  auto* dialog = reinterpret_cast<TV24_Dialog*>(GetWindowLongPtrW(hwnd, DWLP_USER));
  if (dialog == nullptr) return FALSE;
  if (message == WM_DRAWITEM) {
    dialog->DrawButton(*reinterpret_cast<const DRAWITEMSTRUCT*>(lParam));
    return TRUE;
  }
  if (message == WM_NCDESTROY) {
    dialog->hwnd_ = nullptr;
    return FALSE;
  }
  return dialog->HandleMessage(message, wParam, lParam);
}

namespace {

// Creates the dialog under Owner, shows it modally for Record and destroys it again. A non-null
// Current refers to the dialog while it is shown.
int ShowModalV24Dialog(HWND Owner, TV24_Dialog** Current, int Language,
                       std::span<const std::uint8_t> Ports, const bool* Flags,
                       V24ParameterTag* Record) {
  TV24_Dialog dialog(Owner, Language, Ports.data(), static_cast<int>(Ports.size()));
  if (Current != nullptr) *Current = &dialog;
  const int result = dialog.ShowV24Parameter(Flags, Record);
  if (Current != nullptr) *Current = nullptr;
  return result;
}

}  // namespace

int OpenV24Dialog(TV24DialogHost& Host, HWND Owner) {
  return RunV24Dialog(Host, [Owner](int Language, std::span<const std::uint8_t> Ports,
                                    const bool* Flags, V24ParameterTag* Record) {
    return ShowModalV24Dialog(Owner, nullptr, Language, Ports, Flags, Record);
  });
}

TComPort::ErrorNotifier MessageBoxNotifier(HWND Owner) {
  return [Owner](const std::string& Text) { ShowErrorBox(Owner, Text); };
}

int TComPort::OpenDialog(TDialogOwner Owner) {
  // The port is opened again after OK with ShowError; a component embedded without a notifier
  // would fail silently there, so the failure then shows in a box under Owner.
  const bool lend_notifier = !Notify;
  if (lend_notifier) Notify = MessageBoxNotifier(Owner);
  TComPortDialogHost host(*this);
  const int result =
      RunV24Dialog(host, [this, Owner](int Language, std::span<const std::uint8_t> Ports,
                                       const bool* Flags, V24ParameterTag* Record) {
        return ShowModalV24Dialog(Owner, &SettingsDialog, Language, Ports, Flags, Record);
      });
  if (lend_notifier) Notify = nullptr;
  return result;
}

}  // namespace vestrel::comport
