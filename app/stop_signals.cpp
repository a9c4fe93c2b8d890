#include "app/stop_signals.h"

#include <csignal>

namespace vestrel::app {
namespace {

volatile std::sig_atomic_t gSignal = 0;
volatile std::sig_atomic_t gCount = 0;

// C linkage for the C library, static so that no other file's handler of this name clashes.
extern "C" {
static void OnStopSignal(int signal) {
  gSignal = signal;
  gCount = gCount + 1;
}
}

using Handler = void (*)(int);
Handler gPreviousInterrupt = SIG_DFL;
Handler gPreviousTerminate = SIG_DFL;

Handler Restorable(Handler previous) {
  return previous == SIG_ERR ? SIG_DFL : previous;
}

}  // namespace

// std::signal rather than sigaction: Windows has only the former (there it serves Ctrl-C).
StopSignals::StopSignals() {
  gSignal = 0;
  gCount = 0;
  gPreviousInterrupt = std::signal(SIGINT, OnStopSignal);
  gPreviousTerminate = std::signal(SIGTERM, OnStopSignal);
}

StopSignals::~StopSignals() {
  std::signal(SIGINT, Restorable(gPreviousInterrupt));
  std::signal(SIGTERM, Restorable(gPreviousTerminate));
}

std::string StopSignals::Reason() {
  switch (gSignal) {
    case 0:
      return {};
    case SIGINT:
      return "Stopped by Ctrl-C (SIGINT).";
    case SIGTERM:
      return "Stopped by SIGTERM.";
    default:
      return "Stopped by signal " + std::to_string(gSignal) + ".";
  }
}

int StopSignals::Count() {
  return gCount;
}

int StopSignals::ExitCode() {
  return gSignal == 0 ? 0 : 128 + gSignal;
}

}  // namespace vestrel::app
