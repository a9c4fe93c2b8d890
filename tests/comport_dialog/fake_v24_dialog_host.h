// A port component stand-in for the settings dialog's sequence: a port table that the next scan
// finds, the parameter objects, the file tie, the language, and a record of re-opened ports.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "comport/v24_dialog_model.h"
#include "comport/v24_parameter.h"

namespace vestrel::comport {

class FakeV24DialogHost : public TV24DialogHost {
 public:
  void Check_AllV24() override {
    ++Scans;
    Ports = PortsFoundByNextScan;
  }
  int GetMaxV24Devices() const override { return static_cast<int>(Ports.size()); }
  std::uint8_t Get_DeviceV24(int Pos) const override {
    if (Pos < 0 || Pos >= GetMaxV24Devices()) {
      ++ReadsOutsideTable;
      return 0;
    }
    return Ports[static_cast<std::size_t>(Pos)];
  }
  int GetLanguage() const override { return Language; }
  TV24Parameter& V24() override { return Parameter; }
  const TDlgParameter& V24Dialog() const override { return Flags; }
  bool StreamOn() const override { return Stream; }
  std::string Datei() const override { return File; }
  bool PortOpen() const override { return Open; }
  void ReopenPort(ComTag Schnittstelle) override { Reopened.push_back(Schnittstelle); }

  void SetLanguage(int Value) { Language = Value; }

  std::vector<std::uint8_t> PortsFoundByNextScan;
  std::vector<std::uint8_t> Ports;
  int Scans = 0;
  mutable int ReadsOutsideTable = 0;
  int Language = 0;
  bool Stream = false;
  std::string File = kDefaultSettingsFileName;
  bool Open = false;
  std::vector<ComTag> Reopened;
  TV24Parameter Parameter;
  TDlgParameter Flags;
};

}  // namespace vestrel::comport
