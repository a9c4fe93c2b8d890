// The typed outcome of a load: one StepOutcome per step and a LoadResult, from which every front
// end takes what it shows and the exit code. No front end reads back a text the core displayed.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "protocol/error_class.h"

namespace vestrel::app {

// The steps of a load, in the order the sequencer runs them. Verify is requested with Program,
// which verifies by itself.
enum class Step : std::uint8_t { File, Connect, Erase, Program, Verify, Run, ResetAfter };
inline constexpr std::size_t kStepCount = 7;
inline constexpr std::array<Step, kStepCount> kSteps = {Step::File,      Step::Connect, Step::Erase,
                                                        Step::Program,   Step::Verify,  Step::Run,
                                                        Step::ResetAfter};

// "file", "connect", "erase", "program", "verify", "run", "reset".
const char* StepName(Step step);

enum class StepState : std::uint8_t { NotRun, Succeeded, Failed };

struct StepOutcome {
  bool requested = false;
  StepState state = StepState::NotRun;
  ErrorClass error = ErrorClass::None;  // set when Failed
  std::string message;                  // what the user was told, reason lines included

  bool Succeeded() const { return state == StepState::Succeeded; }
  // "ok", "failed", "skipped" (requested, but not run after an earlier failure) or
  // "not requested".
  const char* Word() const;
};

struct LoadResult {
  std::array<StepOutcome, kStepCount> steps;
  bool all = false;              // the full run (-a): the window's first exit-code rule
  std::string file;              // the firmware file as named
  std::string version;           // "v01.03"; empty when it was not read
  std::uint32_t flashSize = 0;   // as the bootloader reported it; 0 when unknown
  std::uint32_t usedLength = 0;  // of the image, as reported to the bootloader
  std::int32_t retries = 0;      // program attempts, page rewrites and verify failures

  StepOutcome& operator[](Step step) { return steps[static_cast<std::size_t>(step)]; }
  const StepOutcome& operator[](Step step) const { return steps[static_cast<std::size_t>(step)]; }
  // True when every requested step succeeded (and at least the run's own rule holds).
  bool Succeeded() const;
  // The first requested step that failed or was not run, or nullptr.
  const StepOutcome* FirstFailure() const;
  // The class and message of the first failure; a step skipped after an earlier failure has
  // none of its own, so the earliest failure with a class is taken.
  Failure FirstError() const;
};

// The window's rule (the full run counts every step; otherwise only the requested erase,
// program, verify, run and reset steps) and the terminal's (every requested step, the file load
// and the connect included).
enum class ExitRule { Window, Terminal };
int ExitCode(const LoadResult& result, ExitRule rule);

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

}  // namespace vestrel::app
