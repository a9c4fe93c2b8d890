#include "app/cli/load_command.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "app/loader.h"
#include "comport/comport.h"
#include "protocol/serial_loader_link.h"

namespace vestrel::cli {
namespace {

std::vector<unsigned> UsablePorts() {
  comport::TComPort scan;
  std::vector<unsigned> usable;
  for (int i = 0; i < scan.GetMaxV24Useable(); ++i) usable.push_back(scan.Get_UseableV24(i));
  return usable;
}

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

void SetPort(app::Loader& loader, const LoadOptions& options) {
  if (options.portPath) {
    loader.CmdCom = 1;
    loader.OverridePort(protocol::PortTarget{*options.portPath, *options.portPath});
  } else if (options.comNumber) {
    loader.CmdCom = 1;
    loader.CmdComNumber = static_cast<std::int32_t>(*options.comNumber);
  }
}

// The same request flags that the window's letters set.
void ApplyOptions(app::Loader& loader, const LoadOptions& options) {
  if (options.hexFile) {
    loader.CmdFile = 1;
    loader.Memory.HexFileName = *options.hexFile;
  }
  SetPort(loader, options);
  SetBaud(loader, options);
  if (options.all) {
    loader.CmdAll = loader.CmdErase = loader.CmdProgram = 1;
    loader.CmdVerify = loader.CmdRun = loader.CmdTerminate = 1;
  }
  if (options.erase) loader.CmdErase = 1;
  if (options.program) loader.CmdProgram = 1;
  if (options.verify) loader.CmdVerify = 1;
  if (options.run) loader.CmdRun = 1;
  if (options.terminate) loader.CmdTerminate = 1;
}

void WarnIfPortUnusable(const LoadOptions& options, const std::vector<unsigned>& usable,
                        std::ostream& err) {
  if (!options.comNumber || options.portPath) return;
  const unsigned index = *options.comNumber - 1;
  if (std::find(usable.begin(), usable.end(), index) == usable.end())
    err << "vestrel-cli: COM" << *options.comNumber
        << " is absent or held by another program (see --list-ports)\n";
}

const char* Outcome(std::uint8_t requested, std::uint8_t ok, bool skipped = false) {
  if (!requested) return nullptr;
  if (skipped) return "skipped";
  return ok ? "ok" : "failed";
}

void PrintSummary(const app::Loader& loader, double seconds, int exitCode, std::ostream& out) {
  out << "Summary:";
  // Without the named file the run sends nothing to the target.
  const bool skip = loader.CmdFile && !loader.FileOk;
  const std::pair<const char*, const char*> steps[] = {
      {"file", Outcome(loader.CmdFile, loader.FileOk)},
      {"connect", Outcome(loader.CmdCom && loader.CmdBaud, loader.ConnectOk, skip)},
      {"erase", Outcome(loader.CmdErase, loader.EraseOk, skip)},
      {"program", Outcome(loader.CmdProgram, loader.ProgramOk, skip)},
      {"verify", Outcome(loader.CmdVerify || loader.CmdProgram, loader.VerifyOk, skip)},
      {"run", Outcome(loader.CmdRun, loader.RunOk, skip)}};
  const char* separator = " ";
  for (const auto& [name, outcome] : steps) {
    if (!outcome) continue;
    out << separator << name << ' ' << outcome;
    separator = ", ";
  }
  char figures[96];
  if (loader.ProgramOk && seconds > 0) {
    std::snprintf(figures, sizeof figures, "; %u bytes in %.1f s (%.1f KiB/s)",
                  loader.Memory.ImageSize, seconds, loader.Memory.ImageSize / 1024.0 / seconds);
  } else {
    std::snprintf(figures, sizeof figures, "; %.1f s", seconds);
  }
  out << figures << "; exit code " << exitCode << std::endl;
}

}  // namespace

bool AsksForSteps(const LoadOptions& o) {
  return o.hexFile || o.comNumber || o.portPath || o.baudIndex || o.baudRate || o.all || o.erase ||
         o.program || o.verify || o.run || o.terminate;
}

int RunLoad(const LoadOptions& options, std::ostream& out, std::ostream& err) {
  TerminalView view(out, err, options.terminal);
  protocol::SerialLoaderLink link(view);
  app::Loader loader(view, link,
                     [](unsigned n) { return protocol::SerialLoaderLink::PortName(n, false); });
  view.SetImageSizeSource([&loader] { return loader.Memory.ImageSize; });

  const std::vector<unsigned> usable = options.portPath ? std::vector<unsigned>{} : UsablePorts();
  loader.FillPortList(usable);
  ApplyOptions(loader, options);
  loader.SetSkipBlankBlocks(options.skipBlank);
  WarnIfPortUnusable(options, usable, err);

  const auto start = std::chrono::steady_clock::now();
  loader.FormActivate();
  view.Finish();
  const int exitCode = loader.FormClose();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!options.terminal.quiet) PrintSummary(loader, seconds, exitCode, out);
  return exitCode;
}

}  // namespace vestrel::cli
