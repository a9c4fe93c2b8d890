// The serial port component TComPort: the port scan, opening and configuring a port with its
// line parameter record, the reader and writer threads on an open port, and the record copies
// that the settings dialog and other users of the component need.
//
// All methods are called on the owner's thread. The threads post their messages to the notify
// target given to Open (see v24_notify.h).
//
// Records from a damaged or foreign settings file keep their bytes as stored (the file is shared
// with other users of the component). Open turns a field outside its enumeration into that
// field's default line setting (DefaultV24Parameter(): 8 data bits, no parity, one stop bit,
// 4800 bit/s, no flow control; a switch byte other than 0 and 1 reads as off), and a negative
// time-out into 0, so no stored byte selects past the end of a table.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "comport/component_base.h"
#include "comport/v24_notify.h"
#include "comport/v24_parameter.h"
#include "comport/v24_threads.h"
#include "platform/serial_device.h"

// The owner of the settings dialog: a Qt widget, or on Windows, where the dialog is plain Win32,
// a window handle. Only OpenDialog, defined with the dialog, needs more of it.
#ifdef _WIN32
struct HWND__;
#else
class QWidget;
#endif

namespace vestrel::comport {

#ifdef _WIN32
using TDialogOwner = HWND__*;
#else
using TDialogOwner = QWidget*;
#endif

class TV24_Dialog;

inline constexpr int kV24TableSize = 257;  // 256 ports and one spare entry

// "COM3" with Display true; the device path "\\.\COM3" with Display false. Number is the port
// number (zero-based index + 1).
std::string V24PortName(unsigned Number, bool Display);

// The open port as Open reports it. INVALID_HANDLE_VALUE (all bits set) after a failed Open;
// the same type and value as the Win32 macro, which the declaration keeps out of its way.
using HANDLE = void*;
#pragma push_macro("INVALID_HANDLE_VALUE")
#undef INVALID_HANDLE_VALUE
inline const HANDLE INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(~std::uintptr_t{0});
#pragma pop_macro("INVALID_HANDLE_VALUE")

// Open's failure message for port number PortNumber: German for Language 0, English otherwise.
std::string OpenFailureText(unsigned PortNumber, int Language);

// Places the component on a design palette page; there is no design environment here.
void Register();

class TComPort : public TComponent {
 public:
  // Opens the device of a port number (1..256); the default goes through the port map.
  using DeviceOpener = std::function<platform::OpenResult(unsigned PortNumber)>;
  // Shows a message to the user (Open's failure message); returns after the user saw it.
  using ErrorNotifier = std::function<void(const std::string& Text)>;

  // Runs the port scan, so a constructed component always holds a scan result.
  explicit TComPort(TComponent* Owner = nullptr);
  // Closes an open port first.
  ~TComPort() override;

  // ---- port scan ----

  // Rebuilds both tables: for every port number 1..256, the device that the port map gives is
  // opened exclusively and closed again. Opened: usable (and existing). Refused because another
  // program holds it: existing only. Anything else: neither.
  void Check_AllV24();

  int GetMaxV24Devices() const { return MaxV24Devices; }
  int GetMaxV24Useable() const { return MaxV24Useable; }
  // Zero-based port index at table position Pos; 0 past the count and outside 0..256.
  std::uint8_t Get_DeviceV24(int Pos) const { return TableAt(DeviceV24, Pos); }
  std::uint8_t Get_UseableV24(int Pos) const { return TableAt(UseableV24, Pos); }

  // ---- open, close, line configuration ----

  // Opens port Port (zero-based index; -1: the record's Schnittstelle; with AutoSearch COM1 and
  // then the existing ports) with the record of V24 (read from Datei when StreamOn), and starts
  // the threads. The handle on success; INVALID_HANDLE_VALUE on failure, after showing the
  // failure message when ShowError; nullptr when a port is already open.
  HANDLE Open(V24NotifyTarget* NotifyWindow, int Port, bool ShowError);
  // Ends both threads, puts back the line state (null stripping off) and time-outs found at
  // Open, and releases the port.
  void Close();

  // These change the open port's line in place; on a closed component they do nothing.
  void ChangeV24Parameter(BaudTag Baud, StopBitTag Stop, ParitaetTag Parity, bool NoNull);
  void ChangeBaudrate(BaudTag Baud);
  void ChangeHandShake(HandshakeTag Mode);
  // The port's current line state; all zero on a closed component.
  platform::DCB LoadV24Parameter();
  void SaveV24Parameter(const platform::DCB* Dcb);
  // Remembers the current line state / puts it back; survives Close and Open.
  void SaveLastV24Parameter();
  void LoadLastV24Parameter();

  // ---- data ----

  // Waits for up to Count bytes under the port's time-outs (20 ms between bytes, RXTimeOut plus
  // 1 ms per byte in all) and clears the reader's Aktiv flag. Appends a zero byte unless the
  // record's KeinString was set at Open, so Buffer then needs Count + 1 bytes. The count read,
  // or kV24NoPort. With null stripping on, received zero bytes are dropped from the count.
  int Read(char* Buffer, unsigned long Count);
  // Hands Count bytes (-1: up to Data's zero byte) to the writer, framed by 0x13 .. 0x11 in the
  // WTW_XonXoff mode. Async: the block length once the writer has it; else the bytes written.
  // kV24NoPort, kV24NotReady, kV24WriteError, or kV24BadCount for a Count below -1, more than
  // 32768 bytes (32765 in the WTW_XonXoff mode) or no Data; nothing is copied then.
  int Write(const char* Data, int Count, bool Async);
  // false without a port; otherwise clears the writer's error latch.
  bool GetWriteStatus();
  // Returns once the writer is ready for a block again (at once when it is).
  void TXSuspend();
  // The next arrival of characters is notified again.
  void Reset_SetAktiv();
  // The reader keeps no event state outside its loop: nothing to reset.
  void Reset_Events() {}

  // ---- records and language ----

  // Copies Value's record (file use off in both objects; no file is touched).
  void SetV24(TV24Parameter* Value);
  void SetV24Dlg(TDlgParameter* Value);
  // V24's SetParameter (writes the file only if the last GetParameter tied it to one), then the
  // AutoSearch property.
  void InitParameter(V24ParameterTag* Record, bool AutoSearch);
  // V24's own record, with file use turned off.
  V24ParameterTag* GetV24Parameter();
  // Language of the settings dialog and of Open's failure message: 0 German, else English.
  void SetLanguage(int Language) { this->Language = Language; }

  // ---- settings dialog (defined in comport/gui/, library vestrel_comport_gui, and on Windows
  // in comport/win32/, library vestrel_comport_win32) ----

  // Rescans the ports and shows the settings dialog modally under Owner, on a copy of the
  // record (read from Datei when StreamOn). On OK the copy is stored (written to Datei when
  // StreamOn) and an open port is closed and opened again with it, on every OK; a port that
  // cannot be opened again is reported through the error notifier, or with a message box under
  // Owner when none is set. The modal result: kModalOk or kModalCancel.
  int OpenDialog(TDialogOwner Owner);
  // The dialog while OpenDialog shows it; nullptr otherwise.
  TV24_Dialog* GetSettingsDialog() const { return SettingsDialog; }

  // ---- published properties and state ----

  TV24Parameter* GetV24() { return V24.get(); }
  TDlgParameter* GetV24Dialog() { return V24Dialog.get(); }
  bool GetStreamOn() const { return StreamOn; }
  void SetStreamOn(bool Value) { StreamOn = Value; }
  bool GetAutoSearch() const { return AutoSearch; }
  void SetAutoSearch(bool Value) { AutoSearch = Value; }
  const std::string& GetDatei() const { return Datei; }
  void SetDatei(std::string Value) { Datei = std::move(Value); }
  int GetLanguage() const { return Language; }
  bool GetPortOpen() const { return PortOpen; }
  // The open port's line has hung up (see TV24Read_Thread::GetLineGone); false when closed.
  bool GetLineGone() const { return ReadThread && ReadThread->GetLineGone(); }
  // Why it hung up, in the device's own words (a pulled adapter, a closed network connection);
  // empty while it has not.
  std::string GetLineGoneReason() const {
    return GetLineGone() && Device ? Device->GoneReason() : std::string();
  }
  HANDLE GetPortHandle() const { return PortHandle; }
  V24NotifyTarget* GetNotifyWindow() const { return NotifyWindow; }
  HandshakeTag GetActiveHandshake() const { return ActiveHandshake; }

  // ---- injection for embedding programs and tests ----

  void SetDeviceOpener(DeviceOpener Opener);
  void SetErrorNotifier(ErrorNotifier Notifier) { Notify = std::move(Notifier); }
  const ErrorNotifier& GetErrorNotifier() const { return Notify; }
  // The reader's clock for the re-notification timer; taken at the next Open.
  void SetTickSource(TTickSource Tick) { Ticks = std::move(Tick); }

 protected:
  using V24Table = std::array<std::uint8_t, kV24TableSize>;

  static std::uint8_t TableAt(const V24Table& table, int pos) {
    return pos >= 0 && pos < kV24TableSize ? table[static_cast<std::size_t>(pos)] : 0;
  }

 private:
  bool PortIsOpen() const { return Device != nullptr; }
  std::unique_ptr<platform::SerialDevice> OpenWithSearch(V24ParameterTag& Record);
  void StartThreads(int Index);
  void ConfigureLine(const V24ParameterTag& Record);
  void ApplyDcb(const platform::DCB& Dcb);
  void StopThreads();

  std::unique_ptr<TV24Parameter> V24;
  std::unique_ptr<TDlgParameter> V24Dialog;
  TV24_Dialog* SettingsDialog = nullptr;
  HANDLE PortHandle = INVALID_HANDLE_VALUE;
  bool PortOpen = false;
  bool StreamOn = false;
  bool AutoSearch = false;
  bool ActiveKeinString = false;
  HandshakeTag ActiveHandshake = NoHandshake;
  std::string Datei = kDefaultSettingsFileName;
  V24Table DeviceV24{};
  V24Table UseableV24{};
  std::int32_t MaxV24Devices = 0;
  std::int32_t MaxV24Useable = 0;
  platform::DCB SavedDCB{};
  platform::DCB LastDCB{};
  bool LastDCBSaved = false;
  platform::COMMTIMEOUTS SavedTimeouts{};
  std::int32_t Language = 0;
  V24NotifyTarget* NotifyWindow = nullptr;
  std::unique_ptr<TV24Read_Thread> ReadThread;
  std::unique_ptr<TV24Write_Thread> WriteThread;

  std::unique_ptr<platform::SerialDevice> Device;  // what PortHandle stands for
  bool NullStripping = false;                      // fNull of the line state last applied
  DeviceOpener OpenDevice;
  ErrorNotifier Notify;
  TTickSource Ticks;
};

}  // namespace vestrel::comport
