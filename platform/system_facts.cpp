#include "platform/system_facts.h"

namespace vestrel::platform {

const std::vector<UsbAdapter>& KnownAdapters() {
  static const std::vector<UsbAdapter> adapters = {
      {"0403:6001", "FTDI FT232R", "ftdi_sio", ""},
      {"0403:6010", "FTDI FT2232", "ftdi_sio", ""},
      {"0403:6011", "FTDI FT4232", "ftdi_sio", ""},
      {"0403:6014", "FTDI FT232H", "ftdi_sio", ""},
      {"0403:6015", "FTDI FT-X", "ftdi_sio", ""},
      {"10c4:ea60", "Silicon Labs CP210x", "cp210x", ""},
      {"1a86:7523", "WCH CH340", "ch341", ""},
      {"1a86:5523", "WCH CH341", "ch341", ""},
      {"1a86:55d4", "WCH CH9102", "cdc_acm", ""},
      {"067b:2303", "Prolific PL2303", "pl2303", ""},
      {"067b:23a3", "Prolific PL2303GC", "pl2303", ""},
  };
  return adapters;
}

}  // namespace vestrel::platform
