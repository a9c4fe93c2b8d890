#include "app/window_help.h"

namespace vestrel::app {
namespace {

constexpr const char* kWindowHelp =
    "Usage: vestrel [-fFILE] [-cN] [-bN] [-a] [-e] [-p] [-v] [-r] [-t] [--wait=SECONDS]\n"
    "               [--reset=SEQUENCE] [--reset-after[=SEQUENCE]]\n"
    "The loader's window: loads firmware into a microcontroller through its serial\n"
    "bootloader. Without options it opens the window; with them it runs the steps by itself.\n"
    "\n"
    "Each argument is one option, its second character the letter, a value right after it:\n"
    "  -fFILE    the Intel HEX or ELF file to load\n"
    "  -cN       the port COMn, one digit\n"
    "  -bN       the baud list index: 0=1200 1=2400 2=4800 3=9600 4=19200 5=38400 6=57600\n"
    "            7=115200\n"
    "  -e        erase the flash\n"
    "  -p        program the flash (verifies it by itself)\n"
    "  -v        verify the flash against the file\n"
    "  -r        start the application\n"
    "  -t        close the window when the steps have run\n"
    "  -a        all of e, p, v, r and t\n"
    "  --wait=SECONDS            wait up to SECONDS (1 to 3600) for the port and the bootloader\n"
    "  --reset=SEQUENCE          reset the board into its bootloader through DTR and RTS\n"
    "                            before the sync (dtr-pulse, rts-pulse, dtr-hold-rts-pulse or\n"
    "                            steps such as dtr=1,wait=50,dtr=0)\n"
    "  --reset-after[=SEQUENCE]  reset it again to start the application after a load in\n"
    "                            which every step succeeded\n"
    "  --help, --version         print this text or the version, and end\n"
    "\n"
    "Example: vestrel -f/home/me/app.hex -c3 -b7 -a   loads app.hex through COM3 at 115200\n"
    "baud, starts it and closes the window.\n"
    "Exit code: 0 when the requested steps succeeded, 1 otherwise. 'man vestrel' has the\n"
    "details; vestrel-cli runs the same steps in a terminal.\n";

}  // namespace

std::optional<std::string> WindowHelpOrVersion(const std::vector<std::string>& args) {
  for (const std::string& arg : args) {
    if (arg == "--help") return kWindowHelp;
    if (arg == "--version") return std::string("vestrel ") + VESTREL_VERSION + "\n";
  }
  return std::nullopt;
}

}  // namespace vestrel::app
