// Fuzz target: the window's command-line rule (app::ParseWindowCommandLine) and vestrel-cli's
// options (ParseCommandLine), on any list of arguments.
//
// Input: the arguments, separated by NUL bytes (at most 64 are used).
//
// Invariants:
// - the window's rule sets exactly the flags and values of a plain model of its letter table
//   (second character only, one digit for c and b, the last value wins);
// - the terminal front end never throws; it either asks for an action whose values lie in their
//   documented ranges, or exits with 0 (help, version) or 2 and the short usage on stderr.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/cli/cli_options.h"
#include "app/load_request.h"
#include "fuzz/fuzz_check.h"

namespace {

struct WindowOptions {
  bool all = false, baud = false, com = false, erase = false, file = false, program = false,
       run = false, terminate = false, verify = false;
  std::int32_t baudIndex = 0, comNumber = 0;
  std::string fileName;
};

std::int32_t Digit(const std::string& arg) {
  if (arg.size() < 3 || arg[2] < '0' || arg[2] > '9') return -1;
  return arg[2] - '0';
}

WindowOptions WindowModel(const std::vector<std::string>& args) {
  WindowOptions w;
  for (const std::string& arg : args) {
    if (arg.size() < 2) continue;
    switch (arg[1]) {
      case 'a':
        w.all = w.erase = w.program = w.verify = w.run = w.terminate = true;
        break;
      case 'b':
        w.baud = true;
        w.baudIndex = Digit(arg);
        break;
      case 'c':
        w.com = true;
        w.comNumber = Digit(arg);
        break;
      case 'e':
        w.erase = true;
        break;
      case 'f':
        w.file = true;
        w.fileName = arg.substr(2);
        break;
      case 'p':
        w.program = true;
        break;
      case 'r':
        w.run = true;
        break;
      case 't':
        w.terminate = true;
        break;
      case 'v':
        w.verify = true;
        break;
      default:
        break;
    }
  }
  return w;
}

void CheckWindowRule(const std::vector<std::string>& args) {
  const vestrel::app::LoadRequest r = vestrel::app::ParseWindowCommandLine(args).request;
  const WindowOptions w = WindowModel(args);
  FUZZ_CHECK(r.all == w.all && r.NamesRate() == w.baud && r.NamesPort() == w.com);
  FUZZ_CHECK(r.erase == w.erase && r.file.has_value() == w.file);
  FUZZ_CHECK(r.program == w.program && r.run == w.run);
  FUZZ_CHECK(r.terminate == w.terminate && r.verify == w.verify);
  FUZZ_CHECK(r.baudIndex.value_or(0) == w.baudIndex && r.comNumber.value_or(0) == w.comNumber);
  FUZZ_CHECK(r.file.value_or("") == w.fileName);
  FUZZ_CHECK(r.baudIndex.value_or(0) >= -1 && r.baudIndex.value_or(0) <= 9);
  FUZZ_CHECK(r.comNumber.value_or(0) >= -1 && r.comNumber.value_or(0) <= 9);
}

// Anything of the automatic run.
bool AsksForRun(const vestrel::cli::LoadOptions& o) {
  return o.file || o.NamesPort() || o.NamesRate() || o.AsksForStep() || o.terminate || o.resetAfter;
}

// A gang load has a rate and a step, and names no port twice and none that cannot be used.
void CheckGang(const vestrel::cli::CliCommand& c) {
  using namespace vestrel::cli;
  const LoadOptions& o = c.load;
  FUZZ_CHECK(!c.monitor && !o.comNumber && !o.portPath);
  FUZZ_CHECK(o.baudIndex || o.baudRate);
  FUZZ_CHECK(o.all || o.erase || o.program || o.verify || o.run);
  FUZZ_CHECK(!c.gang.ports.empty() || c.gang.portsFrom);
  FUZZ_CHECK(NamedTwice(c.gang.ports).empty());
  for (const std::string& port : c.gang.ports) FUZZ_CHECK(PortNameFault(port).empty());
}

void CheckTerminalOptions(const std::vector<std::string>& args) {
  using namespace vestrel::cli;
  std::vector<const char*> argv{"vestrel-cli"};
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  const CliCommand c = ParseCommandLine(static_cast<int>(argv.size()), argv.data());
  switch (c.action) {
    case CliAction::Exit:
      FUZZ_CHECK(c.exitCode == kExitOk || c.exitCode == kExitUsage);
      if (c.exitCode == kExitUsage) {
        FUZZ_CHECK(c.err.rfind("vestrel-cli: ", 0) == 0);
        FUZZ_CHECK(c.err.find("Usage: vestrel-cli") != std::string::npos);
      } else {
        FUZZ_CHECK(!c.out.empty());
      }
      return;
    case CliAction::ListPorts:
      FUZZ_CHECK(!AsksForRun(c.load));
      return;
    case CliAction::ExportImage:
      FUZZ_CHECK(c.image.flashSize >= 1 && c.image.flashSize <= kMaxFlashSize);
      return;
    case CliAction::GangLoad:
      CheckGang(c);
      return;
    case CliAction::Station:  // a rate and a file, and every step
      FUZZ_CHECK(c.load.NamesRate() && c.load.file && c.load.all);
      return;
    case CliAction::Doctor:
      return;
    case CliAction::Load:
      break;
  }
  const LoadOptions& o = c.load;
  FUZZ_CHECK(AsksForRun(o) || c.monitor);
  FUZZ_CHECK(!c.monitor || o.comNumber || o.portPath);
  FUZZ_CHECK(c.monitor || c.monitorSeconds == 0);
  FUZZ_CHECK(!o.comNumber || (*o.comNumber >= 1 && *o.comNumber <= 256));
  FUZZ_CHECK(!(o.comNumber && o.portPath));
  FUZZ_CHECK(!o.baudIndex || (*o.baudIndex >= 0 && *o.baudIndex <= 7));
  FUZZ_CHECK(!o.baudRate || (*o.baudRate >= 50 && *o.baudRate <= 20000000));
  FUZZ_CHECK(!(o.baudIndex && o.baudRate));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> args(1);
  for (std::size_t i = 0; i < size && args.size() <= 64; ++i) {
    if (data[i] == 0) {
      args.emplace_back();
    } else {
      args.back() += static_cast<char>(data[i]);
    }
  }
  if (args.size() > 64) args.resize(64);
  CheckWindowRule(args);
  CheckTerminalOptions(args);
  return 0;
}
