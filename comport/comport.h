// The serial port component TComPort: port enumeration now; opening, line configuration and
// the reader and writer threads are added on top of the same class.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace vestrel::comport {

inline constexpr int kV24TableSize = 257;  // 256 ports and one spare entry

// "COM3" with Display true; the device path "\\.\COM3" with Display false. Number is the port
// number (zero-based index + 1).
std::string V24PortName(unsigned Number, bool Display);

class TComPort {
 public:
  // Runs the port scan, so a constructed component always holds a scan result.
  TComPort();
  virtual ~TComPort() = default;

  TComPort(const TComPort&) = delete;
  TComPort& operator=(const TComPort&) = delete;

  // Rebuilds both tables: for every port number 1..256, the device that the port map gives is
  // opened exclusively and closed again. Opened: usable (and existing). Refused because another
  // program holds it: existing only. Anything else: neither.
  void Check_AllV24();

  int GetMaxV24Devices() const { return MaxV24Devices; }
  int GetMaxV24Useable() const { return MaxV24Useable; }
  // Zero-based port index at table position Pos; 0 past the count and outside 0..256.
  std::uint8_t Get_DeviceV24(int Pos) const { return TableAt(DeviceV24, Pos); }
  std::uint8_t Get_UseableV24(int Pos) const { return TableAt(UseableV24, Pos); }

 protected:
  using V24Table = std::array<std::uint8_t, kV24TableSize>;

  static std::uint8_t TableAt(const V24Table& table, int pos) {
    return pos >= 0 && pos < kV24TableSize ? table[static_cast<std::size_t>(pos)] : 0;
  }

  V24Table DeviceV24{};
  V24Table UseableV24{};
  std::int32_t MaxV24Devices = 0;
  std::int32_t MaxV24Useable = 0;
};

}  // namespace vestrel::comport
