// The port component as the settings dialog's host: what one showing of the dialog needs from a
// TComPort (see RunV24Dialog in v24_dialog_model.h), with no widgets involved, so the sequence
// around the dialog can be run on the real component without a display.
#pragma once

#include <cstdint>
#include <string>

#include "comport/comport.h"
#include "comport/v24_dialog_model.h"

namespace vestrel::comport {

class TComPortDialogHost : public TV24DialogHost {
 public:
  // Port must outlive the host.
  explicit TComPortDialogHost(TComPort& Port) : Port(Port) {}

  void Check_AllV24() override { Port.Check_AllV24(); }
  int GetMaxV24Devices() const override { return Port.GetMaxV24Devices(); }
  std::uint8_t Get_DeviceV24(int Pos) const override { return Port.Get_DeviceV24(Pos); }

  int GetLanguage() const override { return Port.GetLanguage(); }
  TV24Parameter& V24() override { return *Port.GetV24(); }
  const TDlgParameter& V24Dialog() const override { return *Port.GetV24Dialog(); }
  bool StreamOn() const override { return Port.GetStreamOn(); }
  std::string Datei() const override { return Port.GetDatei(); }

  bool PortOpen() const override { return Port.GetPortOpen(); }
  // Close, then Open with the notify target of the last Open and ShowError true, so a port that
  // cannot be opened again is reported through the component's error notifier.
  void ReopenPort(ComTag Schnittstelle) override;

 private:
  TComPort& Port;
};

}  // namespace vestrel::comport
