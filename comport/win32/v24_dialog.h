// The port settings dialog TV24_Dialog (form V24_Dialog) in plain Win32: ten rows of label and
// box for the line parameters of a record, and the buttons OK and Abbrechen ("Cancel" in
// English). What the boxes show and how OK writes the record is decided in
// comport/v24_dialog_model.h, as for the Qt dialog on Linux; this class only displays and
// collects. Windows only.
#pragma once

#include <cstdint>
#include <span>
#include <string>

// <windows.h> after the component's headers, whose constants it would replace.
// clang-format off
#include "comport/comport.h"
#include "comport/v24_dialog_model.h"
#include "comport/v24_parameter.h"

#include <windows.h>
// clang-format on

namespace vestrel::comport {

// The dialog's controls (GetDlgCtrlID): label and box of each row, in row order, then the two
// buttons, which carry the system's OK and Cancel numbers so that Enter and Escape press them.
enum V24DialogControl : int {
  Label_Datenbit = 1001,
  Datenbit_Box,
  Label_Paritaet,
  Paritaet_Box,
  Label_StopBits,
  StopBit_Box,
  Label_Baudrate,
  Baudrate_Box,
  Label_Handshake,
  Handshake_Box,
  Label_RXTimeout,
  RX_Timeout_Box,
  Label_TXTimeout,
  TX_Timeout_Box,
  Label_NoNullChar,
  NullZeichenBox,
  Label_NoString,
  NoStringBox,
  Label_Schnittstelle,
  Schnittstellen_Box,
  V24_Adjust_okay = IDOK,
  V24_Adjust_cancel = IDCANCEL,
};

class TV24_Dialog {
 public:
  // Builds the dialog (hidden) under Owner. PortTable holds PortCount zero-based indexes of the
  // ports that exist (see PortTableOf for counts out of range); the table must outlive the
  // dialog. Language 0 keeps the German texts, any other value switches them to English.
  TV24_Dialog(HWND Owner, int Language, const std::uint8_t* PortTable, int PortCount);
  ~TV24_Dialog();
  TV24_Dialog(const TV24_Dialog&) = delete;
  TV24_Dialog& operator=(const TV24_Dialog&) = delete;

  HWND Handle() const { return hwnd_; }

  // Enables the boxes by the ten Flags (TDlgParameter order) and fills them from Record, which
  // the OK button then writes. Does not show the dialog.
  void LoadV24Parameter(const bool* Flags, V24ParameterTag* Record);

  // LoadV24Parameter, then shows the dialog modally (the owner disabled meanwhile):
  // kModalOk or kModalCancel.
  int ShowV24Parameter(const bool* Flags, V24ParameterTag* Record);

  // What the boxes show now.
  V24DialogInput CurrentInput() const;

  // Writes the boxes into the record and ends with kModalOk, or shows the conversion error box
  // and stays open when a timeout text is not a whole number.
  void V24_Adjust_okayClick();
  // Ends with kModalCancel; so do Escape and the close box.
  void V24_Adjust_cancelClick();

 private:
  static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  INT_PTR HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
  void CreateControls();
  HWND AddControl(int Id, const wchar_t* WindowClass, const std::wstring& Text, DWORD Style,
                  int Left, int Top, int Width, int Height);
  void AddRow(int Row);
  void ApplyEnglishTexts();
  void FillPortBox(int Selected);
  void Paint();
  void DrawButton(const DRAWITEMSTRUCT& Item) const;

  HWND owner_;
  HWND hwnd_ = nullptr;
  HFONT font_ = nullptr;
  int dpi_;
  V24ParameterTag* EditRecord = nullptr;
  std::span<const std::uint8_t> PortTable;
  int Language;
  int modalResult_ = 0;  // 0 while the dialog is shown
};

// One showing of the settings dialog for a port component (see RunV24Dialog): the dialog is
// created under Owner, shown modally and destroyed again. Gives the modal result.
// TComPort::OpenDialog is this for the component itself.
int OpenV24Dialog(TV24DialogHost& Host, HWND Owner);

// Shows a component's message (Open's failure message) in a modal box under Owner with the
// error icon and a single OK button.
TComPort::ErrorNotifier MessageBoxNotifier(HWND Owner);

}  // namespace vestrel::comport
