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

struct BoardResult {
  std::string port;  // as the user named it
  LoadResult load;   // its steps, version, flash size and retries
  int exitCode = 1;  // the terminal's rule for one board: 0 when every step succeeded
  double seconds = 0;
  std::vector<std::string> errors;  // every error box ("caption: text"), in order

  bool ok() const { return exitCode == 0; }
  // The class and reason of the board's first failure; never empty for a failed board.
  Failure FirstError() const;
  // The same message on one line (its reason lines joined by " "), or "".
  std::string FirstErrorLine() const;
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
  std::optional<std::string> hexFile;         // read once (HEX or ELF): every board gets
                                              // exactly those lines
  // Sets a board's request flags, rate and options (not its port or file).
  std::function<void(Loader&)> configure;
};

struct GangOutcome {
  Failure fileError;  // why the file could not be read; then nothing was sent
  std::vector<BoardResult> boards;

  // 0 only when every board succeeded.
  int ExitCode() const;
};

GangOutcome RunGang(const GangJob& job, GangListener& listener);

}  // namespace vestrel::app
