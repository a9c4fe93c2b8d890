#include "app/cli/load_command.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "app/gang_load.h"
#include "app/loader.h"
#include "protocol/serial_loader_link.h"

namespace vestrel::cli {
namespace {

void SetBaud(app::Loader& loader, const LoadOptions& options) {
  if (options.baudRate) {
    loader.CmdBaud = 1;
    loader.OverrideBaudRate(options.baudRate);
    const auto* begin = std::begin(app::kBaudRates);
    const auto* found = std::find(begin, std::end(app::kBaudRates), *options.baudRate);
    loader.CmdBaudIndex = found != std::end(app::kBaudRates)
                              ? static_cast<std::int32_t>(found - begin)
                              : app::kDefaultBaudIndex;
  } else if (options.baudIndex) {
    loader.CmdBaud = 1;
    loader.CmdBaudIndex = *options.baudIndex;
  }
}

// The port is named directly rather than picked from a list of scanned ports: a load opens its
// own port only, never the others (opening one drops DTR, which resets some boards).
void SetPort(app::Loader& loader, const LoadOptions& options) {
  if (options.portPath) {
    loader.CmdCom = 1;
    loader.OverridePort(protocol::PortTarget{*options.portPath, *options.portPath});
  } else if (options.comNumber) {
    loader.CmdCom = 1;
    loader.CmdComNumber = static_cast<std::int32_t>(*options.comNumber);
    loader.OverridePortNumber(*options.comNumber);
  }
}

// The same request flags that the window's letters set.
void ApplyOptions(app::Loader& loader, const LoadOptions& options) {
  if (options.hexFile) {
    loader.CmdFile = 1;
    loader.Memory.HexFileName = *options.hexFile;
  }
  SetPort(loader, options);
  ApplySteps(loader, options);
}

void PrintSummary(const app::LoadResult& result, double seconds, int exitCode, std::ostream& out) {
  out << "Summary:";
  const char* separator = " ";
  for (app::Step step : app::kSteps) {
    if (!result[step].requested) continue;
    out << separator << app::StepName(step) << ' ' << result[step].Word();
    separator = ", ";
  }
  char figures[96];
  if (result[app::Step::Program].Succeeded() && seconds > 0) {
    std::snprintf(figures, sizeof figures, "; %u bytes in %.1f s (%.1f KiB/s)", result.flashSize,
                  seconds, result.flashSize / 1024.0 / seconds);
  } else {
    std::snprintf(figures, sizeof figures, "; %.1f s", seconds);
  }
  out << figures << "; exit code " << exitCode << std::endl;
}

}  // namespace

void ApplySteps(app::Loader& loader, const LoadOptions& options) {
  SetBaud(loader, options);
  loader.SetSkipBlankBlocks(options.skipBlank);
  if (options.all) {
    loader.CmdAll = loader.CmdErase = loader.CmdProgram = 1;
    loader.CmdVerify = loader.CmdRun = loader.CmdTerminate = 1;
  }
  if (options.erase) loader.CmdErase = 1;
  if (options.program) loader.CmdProgram = 1;
  if (options.verify) loader.CmdVerify = 1;
  if (options.run) loader.CmdRun = 1;
  if (options.terminate) loader.CmdTerminate = 1;
  loader.SetResetSequence(options.reset);
  loader.SetResetAfter(options.resetAfter);
  loader.SetWaitSeconds(options.waitSeconds);
}

bool AsksForSteps(const LoadOptions& o) {
  return o.hexFile || o.comNumber || o.portPath || o.baudIndex || o.baudRate || o.all || o.erase ||
         o.program || o.verify || o.run || o.terminate || o.resetAfter;
}

bool NeedsFile(const LoadOptions& o) {
  return o.all || o.program || o.verify;
}

int RunLoad(const LoadOptions& options, std::ostream& out, std::ostream& err, StopCheck stop) {
  TerminalView view(out, err, options.terminal);
  protocol::SerialLoaderLink link(view);
  app::Loader loader(view, link,
                     [](unsigned n) { return protocol::SerialLoaderLink::PortName(n, false); });
  view.SetImageSizeSource([&loader] { return loader.Memory.ImageSize; });
  loader.SetProgressListener(&view);  // the spinner while Connect waits
  ApplyOptions(loader, options);
  loader.SetStopCheck(std::move(stop));

  const auto start = std::chrono::steady_clock::now();
  loader.FormActivate();
  loader.FormClose();
  view.Finish();
  // Every requested step counts: a build script must not read 0 for a file that did not load
  // or a port that did not connect.
  const app::LoadResult result = loader.Result();
  const int exitCode = app::ExitCode(result, app::ExitRule::Terminal);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!options.terminal.quiet) PrintSummary(result, seconds, exitCode, out);
  return exitCode;
}

}  // namespace vestrel::cli
