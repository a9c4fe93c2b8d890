// Why a step failed, as a stable class that scripts, reports and logs can rely on. The texts the
// user reads say more; the class says which kind of failure it was. The names are kebab-case and
// never change meaning: they are documented beside the exit codes.
#pragma once

#include <cstdint>
#include <string>

namespace vestrel {

enum class ErrorClass : std::uint8_t {
  None,
  Usage,           // the command line was refused: nothing was opened or sent
  FileUnreadable,  // the firmware file could not be read (missing, no permission, not a file)
  FileInvalid,     // it was read but is no usable firmware (bad records, no program flash data)
  PortAbsent,      // no device behind the port (not plugged in, nothing selected)
  PortBusy,        // another program holds the port
  PortDenied,      // the user may not open the device
  PortUnusable,    // the port opened but could not be set up (rate, time-outs), or a remote
                   // port could not be reached
  NoSync,          // the bootloader never answered the sync (wrong rate, board not in it)
  LinkLost,        // the device went away, or the bootloader stopped answering
  LineStalled,     // the line stopped taking bytes
  LineNoisy,       // replies arrived damaged, or the line never went quiet
  LineSlow,        // replies trickle in far below the line's rate
  BadReply,        // a well-formed reply said something impossible (a flash size)
  EraseFailed,     // the erase was never confirmed
  ProgramFailed,   // a block or a page could not be written
  VerifyMismatch,  // the flash does not hold the image
  FinishRefused,   // the bootloader refused (or never answered) the closing report
  NotReady,        // a step needs what an earlier one did not give (a file, a connection, a
                   // verified flash, an open port)
  ResetFailed,     // the modem lines could not be driven
  Stopped,         // a signal, or the user closing the window, stopped the run
  Internal,        // the program could not go on (memory)
};

// "no-sync", "port-busy", ...; "" for None.
const char* ErrorClassName(ErrorClass error);

// What a transaction or an open showed when it failed: its class and the whole text of its box.
struct Failure {
  ErrorClass error = ErrorClass::None;
  std::string message;
};

}  // namespace vestrel
