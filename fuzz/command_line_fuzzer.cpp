// Fuzz target: the window's command-line rule (Loader::ReadCommandLine) and vestrel-cli's
// options (ParseCommandLine), on any list of arguments.
//
// Input: the arguments, separated by NUL bytes (at most 64 are used).
//
// Invariants:
// - the window's rule sets exactly the flags and values of a plain model of its letter table
//   (second character only, one digit for c and b, the last value wins) and touches no port;
// - the terminal front end never throws; it either asks for an action whose values lie in their
//   documented ranges, or exits with 0 (help, version) or 2 and the short usage on stderr.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/cli/cli_options.h"
#include "app/loader.h"
#include "fuzz/fuzz_check.h"
#include "fuzz/fuzz_device.h"

namespace {

using vestrel::app::Loader;

// A link that must never be used: reading a command line talks to no target.
class UntouchedLink : public vestrel::protocol::BootLink {
 public:
  bool OpenPort(const std::optional<vestrel::protocol::PortTarget>&,
                std::optional<std::uint32_t>) override {
    FUZZ_CHECK(false);
    return false;
  }
  void ClosePort() override { FUZZ_CHECK(false); }
  bool IsOpen() const override { return false; }
  int SyncProbe() override {
    FUZZ_CHECK(false);
    return 0;
  }
  bool BaudSync() override {
    FUZZ_CHECK(false);
    return false;
  }
  int SendFrame(std::span<const std::uint8_t>) override {
    FUZZ_CHECK(false);
    return -1;
  }
  int ReceiveFrame(std::span<std::uint8_t>) override {
    FUZZ_CHECK(false);
    return -1;
  }
  void DiscardStaleInput() override { FUZZ_CHECK(false); }
  std::string LinkLostReason() const override { return {}; }
  vestrel::ErrorClass LinkLostClass() const override { return vestrel::ErrorClass::None; }
  void DeclareLost(vestrel::ErrorClass, const std::string&) override { FUZZ_CHECK(false); }
};

struct WindowOptions {
  int all = 0, baud = 0, com = 0, erase = 0, file = 0, program = 0, run = 0, terminate = 0,
      verify = 0;
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
        w.all = w.erase = w.program = w.verify = w.run = w.terminate = 1;
        break;
      case 'b':
        w.baud = 1;
        w.baudIndex = Digit(arg);
        break;
      case 'c':
        w.com = 1;
        w.comNumber = Digit(arg);
        break;
      case 'e':
        w.erase = 1;
        break;
      case 'f':
        w.file = 1;
        w.fileName = arg.substr(2);
        break;
      case 'p':
        w.program = 1;
        break;
      case 'r':
        w.run = 1;
        break;
      case 't':
        w.terminate = 1;
        break;
      case 'v':
        w.verify = 1;
        break;
      default:
        break;
    }
  }
  return w;
}

void CheckWindowRule(const std::vector<std::string>& args) {
  vestrel::fuzz::NullView view;
  UntouchedLink link;
  Loader loader(view, link, [](unsigned) { return std::string(); });
  loader.ReadCommandLine(args);
  const WindowOptions w = WindowModel(args);
  FUZZ_CHECK(loader.CmdAll == w.all && loader.CmdBaud == w.baud && loader.CmdCom == w.com);
  FUZZ_CHECK(loader.CmdErase == w.erase && loader.CmdFile == w.file);
  FUZZ_CHECK(loader.CmdProgram == w.program && loader.CmdRun == w.run);
  FUZZ_CHECK(loader.CmdTerminate == w.terminate && loader.CmdVerify == w.verify);
  FUZZ_CHECK(loader.CmdBaudIndex == w.baudIndex && loader.CmdComNumber == w.comNumber);
  FUZZ_CHECK(loader.Memory.HexFileName == w.fileName);
  FUZZ_CHECK(loader.CmdBaudIndex >= -1 && loader.CmdBaudIndex <= 9);
  FUZZ_CHECK(loader.CmdComNumber >= -1 && loader.CmdComNumber <= 9);
  FUZZ_CHECK(view.messages == 0);
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
      FUZZ_CHECK(!AsksForSteps(c.load));
      return;
    case CliAction::ExportImage:
      FUZZ_CHECK(c.image.flashSize >= 1 && c.image.flashSize <= kMaxFlashSize);
      return;
    case CliAction::GangLoad:
      CheckGang(c);
      return;
    case CliAction::Load:
      break;
  }
  const LoadOptions& o = c.load;
  FUZZ_CHECK(AsksForSteps(o) || c.monitor);
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
