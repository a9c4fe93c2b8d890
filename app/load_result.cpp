#include "app/load_result.h"

#include <algorithm>

#include "app/load_events.h"

namespace vestrel::app {

const char* StepName(Step step) {
  switch (step) {
    case Step::File:
      return "file";
    case Step::Connect:
      return "connect";
    case Step::Erase:
      return "erase";
    case Step::Program:
      return "program";
    case Step::Verify:
      return "verify";
    case Step::Run:
      return "run";
    case Step::ResetAfter:
      return "reset";
  }
  return "";
}

const char* PhaseName(Phase phase) {
  switch (phase) {
    case Phase::Erase:
      return "erase";
    case Phase::Program:
      return "program";
    case Phase::Verify:
      return "verify";
  }
  return "";
}

const char* RetryKindName(RetryKind kind) {
  switch (kind) {
    case RetryKind::ProgramBlock:
      return "program-block";
    case RetryKind::PageRewrite:
      return "page-rewrite";
    case RetryKind::VerifyBlock:
      return "verify-block";
  }
  return "";
}

const char* StepOutcome::Word() const {
  if (!requested) return "not requested";
  switch (state) {
    case StepState::Succeeded:
      return "ok";
    case StepState::Failed:
      return "failed";
    case StepState::NotRun:
      break;
  }
  return "skipped";
}

bool LoadResult::Succeeded() const {
  return FirstFailure() == nullptr;
}

const StepOutcome* LoadResult::FirstFailure() const {
  for (const StepOutcome& step : steps)
    if (step.requested && !step.Succeeded()) return &step;
  return nullptr;
}

Failure LoadResult::FirstError() const {
  for (const StepOutcome& step : steps)
    if (step.state == StepState::Failed) return {step.error, step.message};
  return {};
}

int ExitCode(const LoadResult& result, ExitRule rule) {
  if (rule == ExitRule::Terminal || result.all) return result.Succeeded() ? kExitOk : kExitFailure;
  // Without the full run the window counts neither the file load nor the connect.
  const bool failed = std::any_of(
      result.steps.begin() + static_cast<std::ptrdiff_t>(Step::Erase), result.steps.end(),
      [](const StepOutcome& step) { return step.requested && !step.Succeeded(); });
  return failed ? kExitFailure : kExitOk;
}

}  // namespace vestrel::app
