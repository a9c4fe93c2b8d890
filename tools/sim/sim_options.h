// The simulator's command line.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

#include "tools/sim/bootloader_model.h"
#include "tools/sim/fault_injector.h"
#include "tools/sim/reset_circuit.h"

namespace vestrel::sim {

struct SimOptions {
  std::string link;    // symlink to place at this path, empty for none
  std::string listen;  // rfc2217:// or socket:// URL to serve the line at, empty for none
  ModelConfig model;
  FaultConfig faults;
  std::uint64_t seed = 1;
  unsigned eraseMs = 500;
  unsigned paceBaud = 0;  // 0: no wire-time emulation
  unsigned probeQuietMs = 3;
  std::uint8_t syncAnswer = 0x55;
  unsigned syncAnswerCount = 1;
  unsigned ignoreProbes = 0;
  bool silent = false;
  std::optional<std::uint64_t> unplugAfterBytes;
  std::optional<std::uint64_t> stopReadingAfterBytes;
  std::string appText;
  unsigned appDelayMs = 100;
  bool exitAfterStart = false;
  double maxSeconds = 0;  // 0: no limit
  std::string flashIn;
  std::string flashOut;
  std::string logPath;
  bool quiet = false;
  // The board's reset wiring: the bootloader serves the line only after a reset through it.
  std::optional<ResetWiring> resetWiring;
  std::string modemSocket;  // where the loader's DTR/RTS changes are reported (tests)
};

struct ParsedOptions {
  std::optional<SimOptions> options;  // empty: exit with exitCode (help, or a usage error)
  int exitCode = 0;
};

// Parses the command line; help goes to `out`, usage errors to `err` with exit code 2.
ParsedOptions ParseOptions(int argc, const char* const* argv, std::ostream& out, std::ostream& err);

}  // namespace vestrel::sim
