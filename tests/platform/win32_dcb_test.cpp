// The layer's line records and constants against the system's, field by field.
#include <array>
#include <cstdint>

#include "platform/serial_device.h"

namespace {

// The layer's constants, taken before <windows.h> turns these names into its macros.
constexpr std::array<std::uint32_t, 20> kLayerConstants = {vestrel::platform::NOPARITY,
                                                           vestrel::platform::ODDPARITY,
                                                           vestrel::platform::EVENPARITY,
                                                           vestrel::platform::MARKPARITY,
                                                           vestrel::platform::SPACEPARITY,
                                                           vestrel::platform::ONESTOPBIT,
                                                           vestrel::platform::ONE5STOPBITS,
                                                           vestrel::platform::TWOSTOPBITS,
                                                           vestrel::platform::DTR_CONTROL_DISABLE,
                                                           vestrel::platform::DTR_CONTROL_ENABLE,
                                                           vestrel::platform::DTR_CONTROL_HANDSHAKE,
                                                           vestrel::platform::RTS_CONTROL_DISABLE,
                                                           vestrel::platform::RTS_CONTROL_ENABLE,
                                                           vestrel::platform::RTS_CONTROL_HANDSHAKE,
                                                           vestrel::platform::RTS_CONTROL_TOGGLE,
                                                           vestrel::platform::PURGE_TXABORT,
                                                           vestrel::platform::PURGE_RXABORT,
                                                           vestrel::platform::PURGE_TXCLEAR,
                                                           vestrel::platform::PURGE_RXCLEAR,
                                                           vestrel::platform::MAXDWORD};

}  // namespace

// The system's header comes after the layer's values were taken.
// clang-format off
#include "platform/win32_dcb.h"
// clang-format on

#include <gtest/gtest.h>

namespace vestrel::platform::win32 {
namespace {

// The translation passes these values through unchanged, so they must be the system's.
TEST(Win32Constants, LayerConstantsAreTheSystemsValues) {
  constexpr std::array<std::uint32_t, 20> kSystem = {NOPARITY,
                                                     ODDPARITY,
                                                     EVENPARITY,
                                                     MARKPARITY,
                                                     SPACEPARITY,
                                                     ONESTOPBIT,
                                                     ONE5STOPBITS,
                                                     TWOSTOPBITS,
                                                     DTR_CONTROL_DISABLE,
                                                     DTR_CONTROL_ENABLE,
                                                     DTR_CONTROL_HANDSHAKE,
                                                     RTS_CONTROL_DISABLE,
                                                     RTS_CONTROL_ENABLE,
                                                     RTS_CONTROL_HANDSHAKE,
                                                     RTS_CONTROL_TOGGLE,
                                                     PURGE_TXABORT,
                                                     PURGE_RXABORT,
                                                     PURGE_TXCLEAR,
                                                     PURGE_RXCLEAR,
                                                     MAXDWORD};
  EXPECT_EQ(kLayerConstants, kSystem);
}

// Every field with a value of its own, so that a swapped or forgotten field shows.
platform::DCB EveryFieldSet() {
  platform::DCB dcb;
  dcb.DCBlength = sizeof(::DCB);
  dcb.BaudRate = 115200;
  dcb.fBinary = 1;
  dcb.fParity = 1;
  dcb.fOutxCtsFlow = 0;
  dcb.fOutxDsrFlow = 1;
  dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
  dcb.fDsrSensitivity = 1;
  dcb.fTXContinueOnXoff = 0;
  dcb.fOutX = 1;
  dcb.fInX = 0;
  dcb.fErrorChar = 1;
  dcb.fNull = 1;
  dcb.fRtsControl = RTS_CONTROL_TOGGLE;
  dcb.fAbortOnError = 1;
  dcb.XonLim = 2048;
  dcb.XoffLim = 512;
  dcb.ByteSize = 7;
  dcb.Parity = MARKPARITY;
  dcb.StopBits = ONE5STOPBITS;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  dcb.ErrorChar = '?';
  dcb.EofChar = 0x1A;
  dcb.EvtChar = '\n';
  return dcb;
}

TEST(Win32Dcb, EveryFieldReachesTheSystemRecordAndComesBack) {
  const platform::DCB dcb = EveryFieldSet();
  const ::DCB system = ToSystemDcb(dcb);
  EXPECT_EQ(system.DCBlength, 28u);  // the size the port component states
  EXPECT_EQ(system.BaudRate, 115200u);
  EXPECT_EQ(system.fDtrControl, static_cast<DWORD>(DTR_CONTROL_HANDSHAKE));
  EXPECT_EQ(system.fRtsControl, static_cast<DWORD>(RTS_CONTROL_TOGGLE));
  EXPECT_EQ(system.fOutxCtsFlow, 0u);
  EXPECT_EQ(system.fOutxDsrFlow, 1u);
  EXPECT_EQ(system.fAbortOnError, 1u);
  EXPECT_EQ(system.XonLim, 2048);
  EXPECT_EQ(system.XoffLim, 512);
  EXPECT_EQ(system.Parity, MARKPARITY);
  EXPECT_EQ(system.StopBits, ONE5STOPBITS);
  EXPECT_EQ(system.EvtChar, '\n');
  EXPECT_EQ(FromSystemDcb(system), dcb);
}

TEST(Win32Dcb, LoaderLineIsEightBitsNoParityNoFlowControlLinesOff) {
  platform::DCB dcb;
  dcb.BaudRate = 38400;
  dcb.fBinary = 1;
  dcb.ByteSize = 8;
  const ::DCB system = ToSystemDcb(dcb);
  EXPECT_EQ(system.fDtrControl, static_cast<DWORD>(DTR_CONTROL_DISABLE));
  EXPECT_EQ(system.fRtsControl, static_cast<DWORD>(RTS_CONTROL_DISABLE));
  EXPECT_EQ(system.fOutX | system.fInX | system.fOutxCtsFlow | system.fParity, 0u);
  EXPECT_EQ(system.Parity, NOPARITY);
  EXPECT_EQ(system.StopBits, ONESTOPBIT);
}

TEST(Win32Dcb, ValuesWiderThanTheirFieldAreNamedNotCut) {
  EXPECT_EQ(CheckFlagWidths(EveryFieldSet()), nullptr);
  platform::DCB dcb = EveryFieldSet();
  dcb.fNull = 2;
  EXPECT_STREQ(CheckFlagWidths(dcb), "fNull");
  dcb = EveryFieldSet();
  dcb.fRtsControl = 4;
  EXPECT_STREQ(CheckFlagWidths(dcb), "fRtsControl");
}

TEST(Win32Timeouts, FieldsKeepTheirPlaces) {
  const platform::COMMTIMEOUTS t{MAXDWORD, MAXDWORD - 1, 100, 7, 1000};
  const ::COMMTIMEOUTS system = ToSystemTimeouts(t);
  EXPECT_EQ(system.ReadIntervalTimeout, MAXDWORD);
  EXPECT_EQ(system.ReadTotalTimeoutMultiplier, MAXDWORD - 1);
  EXPECT_EQ(system.ReadTotalTimeoutConstant, 100u);
  EXPECT_EQ(system.WriteTotalTimeoutMultiplier, 7u);
  EXPECT_EQ(system.WriteTotalTimeoutConstant, 1000u);
  EXPECT_EQ(FromSystemTimeouts(system), t);
}

}  // namespace
}  // namespace vestrel::platform::win32
