#include "comport/comport.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <span>
#include <vector>

#include "platform/port_map.h"

namespace vestrel::comport {

namespace {

constexpr std::uint32_t kDriverQueueSize = 32768;
constexpr std::uint32_t kDcbLength = 28;
constexpr char kXon = 0x11;
constexpr char kXoff = 0x13;
// The WTW_XonXoff frame: 0x13, the data, 0x11. The block keeps one further byte free.
constexpr std::uint8_t kFrameOpen = 0x13;
constexpr std::uint8_t kFrameClose = 0x11;
constexpr std::size_t kMaxFramedData = kTxBufferSize - 3;
// Read time-outs of an open port: a pause of this many ms between two bytes ends a read.
constexpr std::uint32_t kReadInterval = 20;
constexpr std::uint32_t kPerByteMs = 1;

platform::OpenResult OpenMappedPort(unsigned PortNumber) {
  const std::optional<std::string> path =
      platform::PortMap::FromEnvironment().DevicePath(PortNumber);
  if (!path) {
    platform::OpenResult none;
    none.status = platform::OpenStatus::NotFound;
    return none;
  }
  return platform::OpenSerialDevice(*path);
}

HandshakeTag EffectiveHandshake(HandshakeTag Mode) {
  return IsValid(Mode) ? Mode : DefaultV24Parameter().Handshake;
}

void ApplyFlowControl(HandshakeTag Mode, platform::DCB& Dcb) {
  const FlowControl flow = FlowControlOf(Mode);
  Dcb.fOutxCtsFlow = flow.OutxCtsFlow ? 1 : 0;
  Dcb.fOutX = flow.OutX ? 1 : 0;
  Dcb.fRtsControl =
      flow.RtsHandshake ? platform::RTS_CONTROL_HANDSHAKE : platform::RTS_CONTROL_ENABLE;
}

// The line state Open sets: binary, DTR off, the record's framing and flow control, and nothing
// else (no parity checking, no error or event character, no input flow control).
platform::DCB NewDcb(const V24ParameterTag& Record) {
  platform::DCB dcb{};
  dcb.DCBlength = kDcbLength;
  dcb.BaudRate = BaudRateValue(Record.Baudrate);
  dcb.ByteSize = ByteSizeValue(Record.DatenBits);
  dcb.Parity = ParityCode(Record.Paritaet);
  dcb.StopBits = StopBitsCode(Record.StopBits);
  dcb.XonChar = kXon;
  dcb.XoffChar = kXoff;
  dcb.fBinary = 1;
  dcb.fNull = SwitchOn(Record.KeinNullZeichen) ? 1 : 0;
  dcb.fDtrControl = platform::DTR_CONTROL_DISABLE;
  ApplyFlowControl(Record.Handshake, dcb);
  return dcb;
}

std::uint32_t TimeoutMs(std::int32_t Stored) {
  return Stored > 0 ? static_cast<std::uint32_t>(Stored) : 0;
}

}  // namespace

std::string V24PortName(unsigned Number, bool Display) {
  return (Display ? "COM" : "\\\\.\\COM") + std::to_string(Number);
}

std::string OpenFailureText(unsigned PortNumber, int Language) {
  const std::string name = V24PortName(PortNumber, true);
  return Language == 0 ? name + " konnte nicht geöffnet werden!" : "Cannot open " + name + "! ";
}

void Register() {}

TComPort::TComPort(TComponent* Owner)
    : TComponent(Owner),
      V24(std::make_unique<TV24Parameter>()),
      V24Dialog(std::make_unique<TDlgParameter>()),
      OpenDevice(&OpenMappedPort) {
  Check_AllV24();
}

TComPort::~TComPort() {
  Close();
}

void TComPort::Check_AllV24() {
  UseableV24.fill(0);
  DeviceV24.fill(0);
  MaxV24Devices = 0;
  MaxV24Useable = 0;

  // On Windows the map gives V24PortName (i + 1, false); elsewhere the configured device.
  const platform::PortMap map = platform::PortMap::FromEnvironment();
  for (unsigned i = 0; i < platform::kMaxPortNumber; ++i) {
    const std::optional<std::string> path = map.DevicePath(i + 1);
    if (!path) continue;
    const platform::PortState state = platform::ClassifyPort(*path);
    if (state == platform::PortState::Absent) continue;
    const auto index = static_cast<std::uint8_t>(i);
    if (state == platform::PortState::Usable)
      UseableV24[static_cast<std::size_t>(MaxV24Useable++)] = index;
    DeviceV24[static_cast<std::size_t>(MaxV24Devices++)] = index;
  }
}

void TComPort::SetDeviceOpener(DeviceOpener Opener) {
  OpenDevice = Opener ? std::move(Opener) : DeviceOpener(&OpenMappedPort);
}

// ---- open and close ----

HANDLE TComPort::Open(V24NotifyTarget* NotifyWindow, int Port, bool ShowError) {
  if (PortOpen) return nullptr;
  V24ParameterTag record = *V24->GetParameter(StreamOn, Datei);
  if (Port != -1) record.Schnittstelle = static_cast<ComTag>(Port & 0xFF);
  if (AutoSearch) record.Schnittstelle = Com__1;
  this->NotifyWindow = NotifyWindow;

  std::unique_ptr<platform::SerialDevice> device = OpenWithSearch(record);
  if (!device) {
    if (ShowError && Notify) Notify(OpenFailureText(record.Schnittstelle + 1u, Language));
    return INVALID_HANDLE_VALUE;
  }
  V24->SetParameter(&record);  // the port actually opened; written to the file with StreamOn
  PortOpen = true;
  Device = std::move(device);
  PortHandle = Device.get();
  StartThreads(record.Schnittstelle);
  ConfigureLine(record);
  ReadThread->Resume();
  return PortHandle;
}

// With AutoSearch: COM1, then the existing ports from table position 1 on (position 0 is COM1
// whenever COM1 exists). The table is the last scan's.
std::unique_ptr<platform::SerialDevice> TComPort::OpenWithSearch(V24ParameterTag& Record) {
  for (int pos = 0;;) {
    platform::OpenResult opened = OpenDevice(Record.Schnittstelle + 1u);
    if (opened.status == platform::OpenStatus::Opened && opened.device)
      return std::move(opened.device);
    if (!AutoSearch) return nullptr;
    ++pos;
    Record.Schnittstelle = static_cast<ComTag>(Get_DeviceV24(pos));
    if (pos >= MaxV24Devices) return nullptr;
  }
}

void TComPort::StartThreads(int Index) {
  ReadThread = std::make_unique<TV24Read_Thread>(true, NotifyWindow, Device.get(), Index, Ticks);
  WriteThread = std::make_unique<TV24Write_Thread>(false, NotifyWindow, Device.get(), Index);
}

// The results are not examined: a port whose driver refuses part of this stays open with what
// it kept.
void TComPort::ConfigureLine(const V24ParameterTag& Record) {
  const platform::DCB dcb = NewDcb(Record);
  ActiveHandshake = EffectiveHandshake(Record.Handshake);
  ActiveKeinString = SwitchOn(Record.KeinString);
  Device->SetupComm(kDriverQueueSize, kDriverQueueSize);
  Device->GetCommState(SavedDCB);
  ApplyDcb(dcb);
  Device->GetCommTimeouts(SavedTimeouts);
  platform::COMMTIMEOUTS timeouts;
  timeouts.ReadIntervalTimeout = kReadInterval;
  timeouts.ReadTotalTimeoutMultiplier = kPerByteMs;
  timeouts.ReadTotalTimeoutConstant = TimeoutMs(Record.RXTimeOut);
  timeouts.WriteTotalTimeoutMultiplier = kPerByteMs;
  timeouts.WriteTotalTimeoutConstant = TimeoutMs(Record.TXTimeOut);
  Device->SetCommTimeouts(timeouts);
}

void TComPort::ApplyDcb(const platform::DCB& Dcb) {
  if (Device->SetCommState(Dcb).ok()) NullStripping = Dcb.fNull != 0;
}

void TComPort::Close() {
  if (!PortOpen || !PortIsOpen()) return;
  StopThreads();
  SavedDCB.fNull = 0;
  Device->SetCommState(SavedDCB);
  Device->SetCommTimeouts(SavedTimeouts);
  Device.reset();
  NullStripping = false;
  PortHandle = INVALID_HANDLE_VALUE;
  PortOpen = false;
  ReadThread->SetAktiv(false);
  ReadThread.reset();
  WriteThread.reset();
}

// The reader notices the request within its event wait (kEventWait); the writer is woken out of its
// ready state and first sends a block it was given.
void TComPort::StopThreads() {
  ReadThread->Terminate();
  WriteThread->Terminate();
  ReadThread->WaitFor();
  WriteThread->TXWake();
  WriteThread->WaitFor();
}

// ---- line configuration ----

void TComPort::ChangeV24Parameter(BaudTag Baud, StopBitTag Stop, ParitaetTag Parity, bool NoNull) {
  if (!PortIsOpen()) return;
  platform::DCB dcb;
  if (!Device->GetCommState(dcb).ok()) return;
  dcb.BaudRate = BaudRateValue(Baud);
  dcb.StopBits = StopBitsCode(Stop);
  dcb.Parity = ParityCode(Parity);
  dcb.fNull = NoNull ? 1 : 0;
  ApplyDcb(dcb);
}

void TComPort::ChangeBaudrate(BaudTag Baud) {
  if (!PortIsOpen()) return;
  platform::DCB dcb;
  if (!Device->GetCommState(dcb).ok()) return;
  dcb.BaudRate = BaudRateValue(Baud);
  ApplyDcb(dcb);
}

void TComPort::ChangeHandShake(HandshakeTag Mode) {
  if (!PortIsOpen()) return;
  platform::DCB dcb;
  if (!Device->GetCommState(dcb).ok()) return;
  ActiveHandshake = EffectiveHandshake(Mode);
  ApplyFlowControl(Mode, dcb);
  ApplyDcb(dcb);
}

platform::DCB TComPort::LoadV24Parameter() {
  platform::DCB dcb{};
  if (PortIsOpen()) Device->GetCommState(dcb);
  return dcb;
}

void TComPort::SaveV24Parameter(const platform::DCB* Dcb) {
  if (PortIsOpen() && Dcb) ApplyDcb(*Dcb);
}

void TComPort::SaveLastV24Parameter() {
  LastDCBSaved = true;
  if (PortIsOpen()) Device->GetCommState(LastDCB);
}

void TComPort::LoadLastV24Parameter() {
  if (LastDCBSaved && PortIsOpen()) ApplyDcb(LastDCB);
}

// ---- data ----

int TComPort::Read(char* Buffer, unsigned long Count) {
  if (!PortIsOpen()) return kV24NoPort;
  if (!Buffer) return kV24BadCount;
  ReadThread->SetAktiv(false);
  auto* bytes = reinterpret_cast<std::uint8_t*>(Buffer);
  const std::size_t want = std::min<unsigned long>(Count, INT_MAX);
  std::size_t n = Device->Read(std::span<std::uint8_t>(bytes, want)).count;
  if (NullStripping) n = static_cast<std::size_t>(std::remove(bytes, bytes + n, 0) - bytes);
  if (!ActiveKeinString) Buffer[n] = 0;
  return static_cast<int>(n);
}

int TComPort::Write(const char* Data, int Count, bool Async) {
  if (!PortIsOpen()) return kV24NoPort;
  if (Count < -1 || (!Data && Count != 0)) return kV24BadCount;
  const std::size_t n = Count == -1 ? std::strlen(Data) : static_cast<std::size_t>(Count);
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(Data);
  if (ActiveHandshake != WTW_XonXoff) {
    if (n > kTxBufferSize) return kV24BadCount;
    return WriteThread->TXPut(bytes, static_cast<std::uint32_t>(n), Async);
  }
  if (n > kMaxFramedData) return kV24BadCount;
  std::vector<std::uint8_t> block;
  block.reserve(n + 2);
  block.push_back(kFrameOpen);
  block.insert(block.end(), bytes, bytes + n);
  block.push_back(kFrameClose);
  return WriteThread->TXPut(block.data(), static_cast<std::uint32_t>(block.size()), Async);
}

bool TComPort::GetWriteStatus() {
  if (!PortIsOpen()) return false;
  WriteThread->ClearTxError();
  return true;
}

void TComPort::TXSuspend() {
  if (PortIsOpen()) WriteThread->WaitUntilReady();
}

void TComPort::Reset_SetAktiv() {
  if (ReadThread) ReadThread->SetAktiv(false);
}

// ---- records ----

void TComPort::SetV24(TV24Parameter* Value) {
  if (!Value) return;
  const V24ParameterTag* given = Value->GetParameter(false, Value->FileName());
  V24->GetParameter(false, V24->FileName());
  V24->SetParameter(given);
}

void TComPort::SetV24Dlg(TDlgParameter* Value) {
  if (!Value || Value == V24Dialog.get()) return;
  std::copy_n(Value->GetFlags(), kDlgFlagCount, V24Dialog->GetFlags());
}

void TComPort::InitParameter(V24ParameterTag* Record, bool AutoSearch) {
  if (Record) V24->SetParameter(Record);
  this->AutoSearch = AutoSearch;
}

V24ParameterTag* TComPort::GetV24Parameter() {
  return V24->GetParameter(false, V24->FileName());
}

}  // namespace vestrel::comport
