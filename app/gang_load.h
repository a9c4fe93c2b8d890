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
// Each is a board's LoadListener event (load_events.h), tagged with the board, and OnText the
// board's information line.
class GangListener {
 public:
  virtual ~GangListener() = default;
  virtual void OnText(std::size_t board, const std::string& text) { (void)board, (void)text; }
  virtual void OnStepStarted(std::size_t board, Step step) { (void)board, (void)step; }
  virtual void OnStepEnded(std::size_t board, Step step, const StepOutcome& outcome) {
    (void)board, (void)step, (void)outcome;
  }
  virtual void OnProgress(std::size_t board, const Progress& progress) {
    (void)board, (void)progress;
  }
  virtual void OnRetry(std::size_t board, RetryKind kind, std::uint32_t address,
                       std::int32_t count) {
    (void)board, (void)kind, (void)address, (void)count;
  }
  virtual void OnVersion(std::size_t board, const std::string& version, std::uint32_t flashSize) {
    (void)board, (void)version, (void)flashSize;
  }
  virtual void OnMessage(std::size_t board, const std::string& text, const std::string& caption) {
    (void)board, (void)text, (void)caption;
  }
  virtual void OnDone(std::size_t board, const BoardResult& result) { (void)board, (void)result; }
};

struct GangJob {
  std::vector<std::string> portNames;         // as named, for the results
  std::vector<protocol::PortTarget> targets;  // what each opens
  std::optional<std::string> hexFile;         // read once (HEX or ELF): every board gets
                                              // exactly those lines
  LoadRequest request;                        // the steps, the rate and the desk options
  std::function<std::string()> stop;          // asked before every request, on every board
};

struct GangOutcome {
  Failure fileError;  // why the file could not be read; then nothing was sent
  std::vector<BoardResult> boards;

  // 0 only when every board succeeded.
  int ExitCode() const;
};

// Every listener hears every board's events, in the order given.
GangOutcome RunGang(const GangJob& job, const std::vector<GangListener*>& listeners);

// One board of a gang load, on the calling thread: its own link and loader on job.targets[board],
// given the lines of the file (read once for all boards), or lines of its own; `sources` as
// image::ReadFirmwareFile gave them with the lines (an ELF file's segments).
BoardResult LoadBoard(const GangJob& job, std::size_t board,
                      const std::vector<std::string>& hexLines, image::FileFormat format,
                      GangListener& listener, const std::vector<image::LineSource>& sources = {});

}  // namespace vestrel::app
