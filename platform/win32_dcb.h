// Translation between the layer's line records and the system's. Win32 files only.
//
// This header is included before <windows.h>: the macros that <windows.h> defines (NOPARITY,
// MAXDWORD, PURGE_RXCLEAR, ...) carry the names of the layer's constants, which therefore have
// to be declared first. After it, those names are the system's macros, whose values are the
// same, and the system's records are ::DCB and ::COMMTIMEOUTS.
#pragma once

// The layer's header first, as said above.
// clang-format off
#include "platform/serial_device.h"
#include "platform/win32_support.h"
// clang-format on

namespace vestrel::platform::win32 {

// The layer's one-byte flags become the system's bit fields. CheckFlagWidths names the first
// flag whose value does not fit its field (nullptr when all fit): SetCommState refuses such a
// record rather than cut the value.
const char* CheckFlagWidths(const platform::DCB& dcb);
::DCB ToSystemDcb(const platform::DCB& dcb);
platform::DCB FromSystemDcb(const ::DCB& dcb);

::COMMTIMEOUTS ToSystemTimeouts(const platform::COMMTIMEOUTS& timeouts);
platform::COMMTIMEOUTS FromSystemTimeouts(const ::COMMTIMEOUTS& timeouts);

}  // namespace vestrel::platform::win32
