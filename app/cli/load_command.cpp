#include "app/cli/load_command.h"

#include <chrono>
#include <cstdio>

#include "app/cli/json_events.h"
#include "app/loader.h"
#include "protocol/serial_loader_link.h"

namespace vestrel::cli {

std::string SummaryLine(const app::LoadResult& result, double seconds, int exitCode) {
  std::string line = "Summary:";
  const char* separator = " ";
  for (app::Step step : app::kSteps) {
    if (!result[step].requested) continue;
    line += separator + std::string(app::StepName(step)) + ' ' + result[step].Word();
    separator = ", ";
  }
  char figures[96];
  if (result[app::Step::Program].Succeeded() && seconds > 0) {
    std::snprintf(figures, sizeof figures, "; %u bytes in %.1f s (%.1f KiB/s)", result.flashSize,
                  seconds, result.flashSize / 1024.0 / seconds);
  } else {
    std::snprintf(figures, sizeof figures, "; %.1f s", seconds);
  }
  return line + figures + "; exit code " + std::to_string(exitCode);
}

Failure RunContext::WhyFailed(const Failure& first, int exitCode) const {
  if (exitCode == app::kExitOk) return {};
  if (first.error != ErrorClass::None) return first;
  const std::string reason = stop ? stop() : std::string();
  if (!reason.empty()) return {ErrorClass::Stopped, reason};
  return {ErrorClass::NotReady, "A requested step did not run."};
}

int RunLoad(const LoadOptions& options, std::ostream& out, std::ostream& err,
            const RunContext& context) {
  TerminalView view(out, err, options.terminal);
  protocol::SerialLoaderLink link(view);
  app::Loader loader(view, link,
                     [](unsigned n) { return protocol::SerialLoaderLink::PortName(n, false); });
  loader.AddListener(&view);
  if (context.json != nullptr) {
    context.json->Start(options);
    loader.AddListener(context.json);
  }
  loader.Configure(options);
  loader.SetStopCheck(context.stop);

  const auto start = std::chrono::steady_clock::now();
  loader.FormActivate();
  loader.FormClose();
  view.Finish();
  // Every requested step counts: a build script must not read 0 for a file that did not load
  // or a port that did not connect.
  const app::LoadResult result = loader.Result();
  const int exitCode = context.FinalExitCode(app::ExitCode(result, app::ExitRule::Terminal));
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!options.terminal.quiet) out << SummaryLine(result, seconds, exitCode) << std::endl;
  if (context.json != nullptr)
    context.json->Result(result, exitCode, context.WhyFailed(result.FirstError(), exitCode),
                         seconds);
  return exitCode;
}

}  // namespace vestrel::cli
