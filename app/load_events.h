// The events of a load, in the order they happen, for every front end that shows more than the
// window's texts: the terminal's bar, the gang table, --json, the station. A step starts and
// ends (with its outcome); in between come progress, retries, the version and error boxes.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "app/load_result.h"

namespace vestrel::app {

// The phases that show progress: the erase (its reply polls), program and verify (their blocks).
enum class Phase : std::uint8_t { Erase, Program, Verify };
const char* PhaseName(Phase phase);  // "erase", "program", "verify"

struct Progress {
  Phase phase = Phase::Erase;
  int percent = 0;            // 0..100 of the phase
  std::uint32_t address = 0;  // the block just done (program, verify), or 0
  std::uint32_t done = 0;     // bytes of the image passed; back by a page when one is rewritten
  std::uint32_t total = 0;    // bytes of the image; 0 for the erase
};

// What was tried again: a program block whose reply failed, a page whose read-back differed
// (written again), a verify block that failed.
enum class RetryKind : std::uint8_t { ProgramBlock, PageRewrite, VerifyBlock };
const char* RetryKindName(RetryKind kind);  // "program-block", "page-rewrite", "verify-block"

// Called on the loader's thread, in order. Every method has an empty default.
class LoadListener {
 public:
  virtual ~LoadListener() = default;
  // A nested verify (inside Program) starts and ends inside the program step.
  virtual void OnStepStarted(Step step) { (void)step; }
  virtual void OnStepEnded(Step step, const StepOutcome& outcome) {
    (void)step;
    (void)outcome;
  }
  virtual void OnProgress(const Progress& progress) { (void)progress; }
  // `count` is the run's tally of this kind so far.
  virtual void OnRetry(RetryKind kind, std::uint32_t address, std::int32_t count) {
    (void)kind;
    (void)address;
    (void)count;
  }
  virtual void OnVersion(const std::string& version, std::uint32_t flashSize) {
    (void)version;
    (void)flashSize;
  }
  // An error box with its whole text, as the user sees it.
  virtual void OnMessage(const std::string& text, const std::string& caption) {
    (void)text;
    (void)caption;
  }
  // While Connect waits for its port or the bootloader, about ten times a second.
  virtual void OnWaiting(std::chrono::milliseconds waited, std::chrono::milliseconds limit) {
    (void)waited;
    (void)limit;
  }
};

}  // namespace vestrel::app
