// Many boards in one run: the same steps on every port, with one link and one loader per port,
// each on a thread of its own, so that a board that fails or is slow never holds up another.
// The HEX file is read and checked once for all of them. Nothing here prints: the front end
// shows the boards' events and results.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/loader.h"
#include "protocol/boot_link.h"

namespace vestrel::app {

// How a requested step ended on one board; steps that were not asked for are left out.
struct StepOutcome {
  std::string step;     // "file", "connect", "erase", "program", "verify", "run"
  std::string outcome;  // "ok", "failed", or "skipped" (not sent after a failed file or connect)
};

struct BoardResult {
  std::string port;             // as the user named it
  std::string version;          // "v01.00"; empty when it was not read
  std::uint32_t flashSize = 0;  // as the bootloader reported it; 0 when unknown
  int exitCode = 1;             // the terminal's rule for one board: 0 when every step succeeded
  std::int32_t retries = 0;     // failed block attempts, programming and verifying
  double seconds = 0;
  std::vector<std::string> errors;  // every error text ("caption: text"), in order
  std::vector<StepOutcome> steps;

  bool ok() const { return exitCode == 0; }
  // The first error on one line (its reason lines joined by " "), or "".
  std::string FirstError() const;
};

// The boards' events, called from their threads, several at once: an implementation locks.
class GangListener {
 public:
  virtual ~GangListener() = default;
  virtual void OnText(std::size_t board, const std::string& text) = 0;  // the information line
  virtual void OnProgress(std::size_t board, int percent) = 0;          // 1..100 of the phase
  virtual void OnError(std::size_t board, const std::string& text, const std::string& caption) = 0;
  virtual void OnDone(std::size_t board, const BoardResult& result) = 0;
};

struct GangJob {
  std::vector<std::string> portNames;         // as named, for the results
  std::vector<protocol::PortTarget> targets;  // what each opens
  std::optional<std::string> hexFile;         // read once; without it no step needs one
  // Sets a board's request flags, rate and options (not its port or file).
  std::function<void(Loader&)> configure;
};

struct GangOutcome {
  std::string fileError;  // why the HEX file could not be read; then nothing was sent
  std::vector<BoardResult> boards;

  // 0 only when every board succeeded.
  int ExitCode() const;
};

GangOutcome RunGang(const GangJob& job, GangListener& listener);

// One board of a gang load, on the calling thread: its own link and loader on job.targets[board],
// given the lines of the file (read once for all boards), or lines of its own.
BoardResult LoadBoard(const GangJob& job, std::size_t board,
                      const std::vector<std::string>& hexLines, GangListener& listener);

// The outcome of each step that the loader was asked for, as the terminal summary words them.
std::vector<StepOutcome> StepOutcomes(const Loader& loader);

}  // namespace vestrel::app
