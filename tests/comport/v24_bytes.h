// The parameter record as the bytes of a settings file, for the component's tests.
#pragma once

#include <cstdint>
#include <vector>

#include "comport/v24_parameter.h"

namespace vestrel::comport::test {

using Bytes = std::vector<std::uint8_t>;

// The 20 bytes of the default record.
inline const Bytes kDefaultBytes = {0x01, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                    0x00, 0x00, 0xE8, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

inline Bytes Encoded(const V24ParameterTag& record) {
  const V24ParameterBytes b = EncodeV24Parameter(record);
  return Bytes(b.begin(), b.end());
}

}  // namespace vestrel::comport::test
