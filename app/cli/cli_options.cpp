#include "app/cli/cli_options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <memory>
#include <regex>
#include <set>
#include <sstream>

#include "app/cli/monitor.h"
#include "app/loader.h"
#include "platform/port_map.h"
#include "platform/remote_port.h"
#include "protocol/reset_sequence.h"

namespace vestrel::cli {
namespace {

constexpr const char* kUsage =
    "Usage: vestrel-cli -f FILE -c N -b N -a        load, verify and start (COMn, baud index)\n"
    "       vestrel-cli -f FILE --port DEV --baud RATE -a\n"
    "       vestrel-cli -f FILE --port A --port B ... --baud RATE -a   many boards at once\n"
    "       vestrel-cli -f FILE -c N -b N -a --reset dtr-pulse --wait 30 --watch\n"
    "       vestrel-cli -c N --baud RATE --monitor   a serial monitor on the port\n"
    "       vestrel-cli --list-ports\n"
    "       vestrel-cli station -f FILE --baud RATE --watch-ports GLOB --serial ADDR:FORMAT:START\n"
    "                   --log FILE   the production bench (vestrel-cli station --help)\n"
    "       vestrel-cli doctor [PORT] [--baud RATE]   what stands between you and a port\n"
    "       vestrel-cli -f FILE --flash-size SIZE --image-out OUT\n"
    "Run 'vestrel-cli --help' for all options.\n";

constexpr const char* kFooter =
    "Steps run in this order: connect (needs a port and a baud rate), erase, program (which\n"
    "verifies), verify (unless programmed), run; after a failed file or connect nothing is sent.\n"
    "Exit code: 0 when every requested step succeeded (with -a: every step), 1 otherwise, 2 for\n"
    "a usage error, 130/143 when Ctrl-C or SIGTERM stopped the load (the port is closed with\n"
    "its settings restored). A load opens its own port only.\n"
    "Several ports (--port more than once, --ports-from) load the same file into every board\n"
    "at once and end with a table; exit code 0 only when every board succeeded.\n"
    "Remote ports: rfc2217://HOST:PORT (a port server such as ser2net with RFC 2217: the rate\n"
    "and the modem lines are set through it) or socket://HOST:PORT (raw TCP: the server's own\n"
    "rate applies, so --baud may be left out); a comN entry of a port directory may be a file\n"
    "holding such a URL.\n"
    "Reset: the port opens with DTR and RTS off; --reset then drives them before the sync.\n"
    "On means asserted: the adapter's DTR#/RTS# pin low (RS-232: positive). The usual\n"
    "circuit: DTR (dtr-pulse) or RTS (rts-pulse) through a 100 nF capacitor, or a transistor,\n"
    "to the reset pin MCLR; with dtr-hold-rts-pulse RTS resets and DTR pulls the bootloader\n"
    "entry pin low through a diode or a transistor.\n"
    "Ports: COMn is port n of the map that --list-ports shows ";

// The option column holds the option and its value's name only; what an option needs or
// excludes follows its description in words, rather than running into it from the column.
class HelpFormatter final : public CLI::Formatter {
 public:
  std::string make_option_opts(const CLI::Option* opt) const override {
    if (!opt->get_option_text().empty()) return " " + opt->get_option_text();
    if (opt->get_type_size() == 0 || opt->get_type_name().empty()) return {};
    return " " + opt->get_type_name();
  }

  std::string make_option_desc(const CLI::Option* opt) const override {
    std::string text = opt->get_description();
    if (!opt->get_needs().empty()) text += "; needs " + Names(opt->get_needs());
    if (!opt->get_excludes().empty()) text += "; not with " + Names(opt->get_excludes());
    return text;
  }

 private:
  static std::string Names(const std::set<CLI::Option*>& options) {
    std::vector<std::string> names;
    for (const CLI::Option* option : options) names.push_back(option->get_name());
    std::sort(names.begin(), names.end());
    std::string text;
    for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
    return text;
  }
};

CliCommand UsageError(const std::string& message) {
  CliCommand command;
  command.exitCode = kExitUsage;
  command.usage = message;
  command.err = "vestrel-cli: " + message + '\n' + kUsage;
  return command;
}

// "COM3" (any case) names a port of the map; anything else is a device path or a URL.
void ApplyPortArgument(const std::string& text, LoadOptions& load) {
  if (const std::optional<unsigned> number = ComPortNumber(text)) {
    load.comNumber = static_cast<int>(*number);
  } else {
    load.portPath = text;
  }
}

// Several ports, a ports file or a report make a gang load.
bool IsGang(const std::vector<std::string>& ports, const GangOptions& gang) {
  return ports.size() > 1 || gang.portsFrom || gang.reportPath || gang.junitPath;
}

CliCommand GangCommand(std::vector<std::string> ports, GangOptions gang, const LoadOptions& load,
                       bool monitor) {
  if (monitor) return UsageError("--monitor watches one port, not several");
  if (ports.empty() && !gang.portsFrom)
    return UsageError("--report and --junit go with several ports (--port ..., --ports-from)");
  if (const std::string twice = NamedTwice(ports); !twice.empty())
    return UsageError("--port " + twice + " is named twice");
  if (!load.baudIndex && !load.baudRate)
    return UsageError("loading several boards needs a baud rate (-b N or --baud RATE)");
  if (!(load.all || load.erase || load.program || load.verify || load.run))
    return UsageError("loading several boards needs a step (-a, -e, -p, -v or -r)");
  CliCommand command;
  command.action = CliAction::GangLoad;
  command.load = load;
  gang.ports = std::move(ports);
  command.gang = std::move(gang);
  return command;
}

// The reset sequences as given (nullptr: not given) into the request; why one is refused, or "".
std::string ApplyResets(const std::string* reset, const std::string* resetAfter,
                        LoadOptions& load) {
  std::string error;
  if (reset && !(load.reset = protocol::ParseResetSequence(*reset, error)))
    return "--reset: " + error;
  if (resetAfter && !(load.resetAfter = protocol::ParseResetAfter(*resetAfter, load.reset, error)))
    return "--reset-after: " + error;
  return {};
}

// Anything of the automatic run: a file, a port, a rate, a step.
bool AsksForRun(const LoadOptions& o) {
  return o.file || o.NamesPort() || o.NamesRate() || o.AsksForStep() || o.terminate || o.resetAfter;
}

// "0=1200 1=2400 ... 7=115200", from the one list of rates.
std::string BaudListText() {
  std::string text;
  for (int i = 0; i < app::kBaudRateCount; ++i)
    text += (i == 0 ? "" : " ") + std::to_string(i) + "=" + std::to_string(app::kBaudRates[i]);
  return text;
}

bool IsRawTcp(const std::string& port) {
  const std::optional<platform::RemotePortUrl> url = platform::ParseRemotePortUrl(port);
  return url && url->protocol == platform::RemoteProtocol::RawTcp;
}

// A step that talks to the board needs a port and a rate to connect: without them it could only
// fail after opening nothing. A raw TCP port has no rate to set (the port server's own applies);
// it connects without one, and the time budgets assume the slowest rate of the list.
std::string ConnectionFault(LoadOptions& load, const std::vector<std::string>& ports, bool isGang) {
  const bool steps = load.all || load.erase || load.program || load.verify || load.run;
  const bool port = load.comNumber || load.portPath || isGang;
  const bool rate = load.baudIndex || load.baudRate;
  if (rate || (!steps && !port)) return {};
  if (!port) return "-a, -e, -p, -v and -r need a port to connect to (-c N or --port PORT)";
  if (!ports.empty() && std::all_of(ports.begin(), ports.end(), IsRawTcp)) {
    load.baudRate = kRawTcpBudgetRate;
    return {};
  }
  return "connecting to a port needs the bootloader's baud rate (-b N or --baud RATE)";
}

ProgressMode ProgressFor(const std::string& progress) {
  return progress == "always"  ? ProgressMode::Always
         : progress == "never" ? ProgressMode::Never
                               : ProgressMode::Auto;
}

// --help and --version: their text, and the exit code CLI11 gives them.
CliCommand HelpOrVersion(CLI::App& app, const CLI::Success& e) {
  std::ostringstream out, err;
  CliCommand command;
  command.exitCode = app.exit(e, out, err);
  command.out = out.str();
  command.err = err.str();
  return command;
}

// Help and version end the parse with their text, a parse error as a usage error.
std::optional<CliCommand> Parsed(CLI::App& app, int argc, const char* const* argv,
                                 const std::string& usage) {
  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& e) {
    return HelpOrVersion(app, e);
  } catch (const CLI::ParseError& e) {
    CliCommand command;
    command.exitCode = kExitUsage;
    command.err = usage + e.what() + "\nRun '" + app.get_name() + " --help' for all options.\n";
    return command;
  }
  return std::nullopt;
}

constexpr const char* kStationFooter =
    "Boards: every board that appears on a --port (a rack: loaded whenever a board is plugged in\n"
    "there) or on a port that --watch-ports matches (a glob such as '/dev/serial/by-id/*', or a\n"
    "folder such as the port directory) is loaded once per plug-in: connect, erase, program\n"
    "(which\n"
    "verifies) and run. Ports are opened only when a board is there. Watched ports that are there\n"
    "at\n"
    "the start are left alone until they are plugged in again.\n"
    "Per-board data: --serial writes the next number at ADDR (program flash, physical 0x1D000000\n"
    "up\n"
    "or virtual 0x9D000000/0xBD000000 up) as u32le, u32be, u64le, ascii:N (N zero-padded decimal\n"
    "digits), hex:N (N hex digits) or bcd:N (N bytes of packed BCD), counting from START (1) by\n"
    "STEP\n"
    "(1). --serials-from takes the next unused line of a list instead: VALUE (a number in FORMAT)\n"
    "or\n"
    "VALUE,BYTES (hex, written as they are). Numbers are reserved in FILE.state beside the log\n"
    "before\n"
    "a board is written; a failed board's number is burnt unless --reuse-failed.\n"
    "Log: one CSV row per attempt (time, station, port, adapter_serial, board_serial,\n"
    "serial_status,\n"
    "image_sha256, result, error_class, message, seconds, retries), flushed to the disk at once;\n"
    "--log-json writes the same as JSON lines. A second station on the same log is refused.\n"
    "Ctrl-C ends after the loads in progress (exit code 130); a second Ctrl-C stops them too.\n"
    "Exit\n"
    "code 1 when the station stopped by itself (the log cannot be written, the serial numbers ran\n"
    "out), 2 for a usage error.";

CliCommand ParseStationCommandLine(int argc, const char* const* argv) {
  CLI::App app{
      "vestrel-cli station: a production bench that loads every board plugged in, each "
      "with its own serial number, and logs every attempt.",
      "vestrel-cli station"};
  app.formatter(std::make_shared<HelpFormatter>());
  app.footer(kStationFooter);
  LoadOptions load;
  StationOptions station;
  std::string hexFile, portsFrom, serial, serialsFrom, logJson, onResult, progress = "auto";
  std::string resetText, resetAfterText;
  int baudIndex = 0;
  std::uint32_t baudRate = 0;
  unsigned waitSeconds = 0;
  app.add_option("-f,--file", hexFile, "firmware to load: an Intel HEX or an ELF file")
      ->type_name("FILE")
      ->required();
  auto* baudIndexOption = app.add_option("-b,--baud-index", baudIndex, "baud list index 0..7")
                              ->type_name("N")
                              ->check(CLI::Range(0, app::kBaudRateCount - 1));
  auto* baudOption = app.add_option("--baud", baudRate, "baud rate (e.g. 115200)")
                         ->type_name("RATE")
                         ->check(CLI::Range(50u, 20000000u))
                         ->excludes(baudIndexOption);
  app.add_option("--port", station.ports, "a rack's port (a path or COMn); again for more")
      ->type_name("PORT")
      ->expected(1)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  auto* portsFromOption =
      app.add_option("--ports-from", portsFrom, "the rack's ports, one a line")->type_name("FILE");
  app.add_option("--watch-ports", station.watch,
                 "load boards on new serial devices that match GLOB, or appear in a folder")
      ->type_name("GLOB")
      ->expected(1)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  auto* serialOption = app.add_option("--serial", serial, "write a serial number into each board")
                           ->type_name("ADDR:FORMAT[:START[:STEP]]");
  auto* serialsFromOption =
      app.add_option("--serials-from", serialsFrom, "take each board's value from a list (CSV)")
          ->type_name("FILE")
          ->needs(serialOption);
  app.add_flag("--serial-overwrite", station.serialOverwrite,
               "let the serial number overwrite the file's own data");
  auto* reuseOption = app.add_flag("--reuse-failed", station.reuseFailed,
                                   "hand a failed board's number to the next board")
                          ->needs(serialOption);
  (void)reuseOption;
  app.add_option("--log", station.log, "the production log (CSV); its state is FILE.state")
      ->type_name("FILE")
      ->required();
  auto* logJsonOption =
      app.add_option("--log-json", logJson, "the same log as JSON lines")->type_name("FILE");
  auto* onResultOption =
      app.add_option("--on-result", onResult,
                     "run CMD for every finished board: arguments RESULT PORT SERIAL, the log's "
                     "JSON line on its standard input")
          ->type_name("CMD");
  app.add_option("--settle-ms", station.settleMs,
                 "how long a port must be there before its board is loaded")
      ->type_name("MS")
      ->check(CLI::Range(0u, 60000u));
  auto* resetOption = app.add_option("--reset", resetText,
                                     "reset each board into its bootloader "
                                     "(as for a load)")
                          ->type_name("SEQUENCE");
  auto* resetAfterOption =
      app.add_option("--reset-after", resetAfterText, "reset each board into its application")
          ->type_name("[=SEQUENCE]")
          ->expected(0, 1);
  auto* waitOption =
      app.add_option("--wait", waitSeconds, "keep probing a board for its bootloader this long")
          ->type_name("SECONDS")
          ->check(CLI::Range(1u, 3600u));
  app.add_flag("--skip-blank", load.skipBlank, "the fast load (see vestrel-cli --help)");
  app.add_option("--progress", progress, "the table on a terminal (auto), always, or never")
      ->type_name("auto|always|never")
      ->check(CLI::IsMember({"auto", "always", "never"}));
  app.add_flag("-q,--quiet", load.terminal.quiet, "print errors only");

  const std::string usage = "vestrel-cli station: ";
  if (auto done = Parsed(app, argc, argv, usage)) return *done;
  const auto fail = [&](const std::string& message) {
    CliCommand command;
    command.exitCode = kExitUsage;
    command.err = usage + message + "\nRun 'vestrel-cli station --help' for all options.\n";
    return command;
  };
  if (!*baudIndexOption && !*baudOption) return fail("a baud rate is needed (--baud RATE or -b N)");
  if (station.ports.empty() && !*portsFromOption && station.watch.empty())
    return fail("no ports: give --port, --ports-from or --watch-ports");
  load.file = hexFile;
  load.all = true;
  if (*baudIndexOption) load.baudIndex = baudIndex;
  if (*baudOption) load.baudRate = baudRate;
  load.terminal.progress = ProgressFor(progress);
  std::string error = ApplyResets(*resetOption ? &resetText : nullptr,
                                  *resetAfterOption ? &resetAfterText : nullptr, load);
  if (!error.empty()) return fail(error);
  if (*waitOption) load.waitSeconds = waitSeconds;
  if (*portsFromOption) station.portsFrom = portsFrom;
  if (*serialOption && !(station.serial = ParseSerialOption(serial, error))) return fail(error);
  if (*serialsFromOption) {
    if (station.serial->counts)
      return fail("--serials-from gives the values: --serial takes ADDR:FORMAT alone");
    station.serialsFrom = serialsFrom;
  }
  if (*logJsonOption) station.logJson = logJson;
  if (*onResultOption) station.onResult = onResult;
  CliCommand command;
  command.action = CliAction::Station;
  command.load = load;
  command.station = station;
  return command;
}

CliCommand ParseDoctorCommandLine(int argc, const char* const* argv) {
  CLI::App app{
      "vestrel-cli doctor: says what stands between you and a working port (your "
      "groups, brltty, ModemManager, drivers, a program holding the port, its rate, "
      "and with --baud whether a bootloader answers), each with the fix as a command. "
      "Exit code 0 when nothing is wrong, 1 otherwise, 2 for a usage error.",
      "vestrel-cli doctor"};
  app.formatter(std::make_shared<HelpFormatter>());
  std::string port;
  std::uint32_t baud = 0;
  auto* portOption = app.add_option("port", port, "a device path or COMn")->type_name("PORT");
  auto* baudOption = app.add_option("--baud", baud, "ask the bootloader at this rate")
                         ->type_name("RATE")
                         ->check(CLI::Range(50u, 20000000u))
                         ->needs(portOption);
  if (auto done = Parsed(app, argc, argv, "vestrel-cli doctor: ")) return *done;
  CliCommand command;
  command.action = CliAction::Doctor;
  if (*portOption) command.doctor.port = port;
  if (*baudOption) command.doctor.baud = baud;
  return command;
}

}  // namespace

std::optional<unsigned> ComPortNumber(const std::string& text) {
  std::smatch match;
  static const std::regex com("[Cc][Oo][Mm]([0-9]{1,3})");
  if (!std::regex_match(text, match, com)) return std::nullopt;
  return static_cast<unsigned>(std::stoul(match[1]));
}

std::uint32_t MonitorRate(const LoadOptions& load) {
  if (load.baudRate) return *load.baudRate;
  if (load.baudIndex) return app::kBaudRates[*load.baudIndex];
  return 115200;
}

namespace {

CliCommand ParseArguments(int argc, const char* const* argv) {
  if (argc > 1 && std::string(argv[1]) == "station")
    return ParseStationCommandLine(argc - 1, argv + 1);
  if (argc > 1 && std::string(argv[1]) == "doctor")
    return ParseDoctorCommandLine(argc - 1, argv + 1);
  CLI::App app{"Vestrel loads firmware into a microcontroller through its serial bootloader.",
               "vestrel-cli"};
  app.set_version_flag("--version", VESTREL_VERSION);
  app.formatter(std::make_shared<HelpFormatter>());
  app.footer(std::string(kFooter) + platform::PortMapSummary() + ".");

  LoadOptions load;
  GangOptions gang;
  std::vector<std::string> ports;
  std::string hexFile, portsFrom, reportPath, junitPath, progress = "auto", flashSizeText, imageOut;
  unsigned comNumber = 0, monitorSeconds = 0, waitSeconds = 0;
  int baudIndex = 0;
  std::uint32_t baudRate = 0;
  bool listPorts = false, monitor = false, watch = false;
  std::string resetText, resetAfterText;

  auto* fileOption =
      app.add_option("-f,--file", hexFile,
                     "firmware to load: an Intel HEX or an ELF file (told apart by content)")
          ->type_name("FILE");
  auto* comOption = app.add_option("-c,--com", comNumber, "port COMn of the port map")
                        ->type_name("N")
                        ->check(CLI::Range(1u, kLastPort));
  auto* portOption = app.add_option("--port", ports,
                                    "a path, COMn, rfc2217://HOST:PORT or socket://HOST:PORT; "
                                    "again for more boards")
                         ->type_name("PORT")
                         ->expected(1)
                         ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
                         ->excludes(comOption);
  auto* portsFromOption =
      app.add_option("--ports-from", portsFrom,
                     "load every port named in FILE (one a line; # starts a comment) at once")
          ->type_name("FILE")
          ->excludes(comOption);
  auto* reportOption = app.add_option("--report", reportPath,
                                      "write each board's result to FILE as JSON (several ports)")
                           ->type_name("FILE");
  auto* junitOption =
      app.add_option("--junit", junitPath,
                     "write the results to FILE as JUnit XML, one test case per board")
          ->type_name("FILE");
  auto* baudIndexOption =
      app.add_option("-b,--baud-index", baudIndex, "baud list index: " + BaudListText())
          ->type_name("N")
          ->check(CLI::Range(0, app::kBaudRateCount - 1));
  auto* baudOption =
      app.add_option("--baud", baudRate, "baud rate, any rate the device accepts (e.g. 921600)")
          ->type_name("RATE")
          ->check(CLI::Range(50u, 20000000u))
          ->excludes(baudIndexOption);
  app.add_flag("-a,--all", load.all,
               "connect, erase, program, verify and run; exit 0 only if all succeed");
  app.add_flag("-e,--erase", load.erase, "erase the flash");
  app.add_flag("-p,--program", load.program, "program the flash (verifies it afterwards)");
  app.add_flag("-v,--verify", load.verify, "verify the flash against the file");
  app.add_flag("-r,--run", load.run, "start the application (after a successful verify)");
  app.add_flag(
      "-t,--terminate", load.terminate,
      "accepted for the window's command line; the terminal front end always ends after the steps");
  app.add_flag("--skip-blank", load.skipBlank,
               "fast load: after a successful erase, blocks of the image that are all 0xFF are "
               "neither written, read back nor verified. The erase is trusted to have left them "
               "blank; without an erase in the same run every block is loaded");
  auto* monitorOption = app.add_flag(
      "--monitor", monitor,
      "after the steps (or alone), show what the target sends and send what stdin gives; "
      "Ctrl-C ends it (exit code 0), SIGTERM too (143), and so does a line that goes away (1)");
  app.add_option("--monitor-seconds", monitorSeconds, "end the monitor after N seconds")
      ->type_name("N")
      ->needs(monitorOption);
  std::string namedResets;
  for (const protocol::NamedReset& named : protocol::NamedResets())
    namedResets += std::string(" ") + named.name + " (" + named.circuit + ": " + named.steps + ");";
  auto* resetOption =
      app.add_option("--reset", resetText,
                     "drive DTR and RTS after the port opens, before the sync, to reset the board "
                     "into its bootloader: a name," +
                         namedResets +
                         " or steps such as dtr=1,rts=0,wait=50,dtr=0 (dtr=0|1, rts=0|1, "
                         "wait=0..10000 ms)")
          ->type_name("SEQUENCE");
  auto* resetAfterOption =
      app.add_option("--reset-after", resetAfterText,
                     "after a load in which every step succeeded, reset the board again to start "
                     "its application: the reset line of the --reset name, or the SEQUENCE given")
          ->type_name("[=SEQUENCE]")
          ->expected(0, 1);
  auto* waitOption =
      app.add_option("--wait", waitSeconds,
                     "wait up to SECONDS for an absent port to appear, then keep probing until the "
                     "bootloader answers (reset the board meanwhile)")
          ->type_name("SECONDS")
          ->check(CLI::Range(1u, 3600u));
  app.add_flag("--watch", watch,
               "after the load, wait for FILE to change and load it again; Ctrl-C ends");
  app.add_flag("--list-ports", listPorts,
               "list the ports of the map in use and whether they are usable");
  auto* sizeOption = app.add_option("--flash-size", flashSizeText,
                                    "program flash size for --image-out, decimal or 0x-hex")
                         ->type_name("SIZE")
                         ->check(CLI::Validator(
                             [](const std::string& text) {
                               return ParseFlashSize(text)
                                          ? std::string()
                                          : "not a flash size from 1 byte to 16 MiB";
                             },
                             ""));
  auto* outOption = app.add_option("--image-out", imageOut,
                                   "write the program memory image of FILE (HEX or ELF) to OUT "
                                   "as raw bytes, without a target")
                        ->type_name("OUT")
                        ->needs(fileOption)
                        ->needs(sizeOption);
  sizeOption->needs(outOption);
  app.add_option("--progress", progress,
                 "progress display: a bar on a terminal (auto), always a bar, or never")
      ->type_name("auto|always|never")
      ->check(CLI::IsMember({"auto", "always", "never"}));
  app.add_flag("-q,--quiet", load.terminal.quiet, "print errors only");
  bool json = false;
  auto* jsonOption = app.add_flag(
      "--json", json,
      "write the run as JSON lines on stdout (events with an \"event\" field, the last one "
      "always \"result\" with the exit code and the error class); the text goes to stderr");

  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& e) {  // --help, --version
    return HelpOrVersion(app, e);
  } catch (const CLI::ParseError& e) {
    return UsageError(e.what());
  }

  if (*fileOption) load.file = hexFile;
  if (*comOption) load.comNumber = static_cast<int>(comNumber);
  if (*portsFromOption) gang.portsFrom = portsFrom;
  if (*reportOption) gang.reportPath = reportPath;
  if (*junitOption) gang.junitPath = junitPath;
  for (const std::string& port : ports)
    if (const std::string fault = PortNameFault(port); !fault.empty()) return UsageError(fault);
  const bool isGang = IsGang(ports, gang);
  if (*portOption && !isGang) ApplyPortArgument(ports.front(), load);
  if (*baudIndexOption) load.baudIndex = baudIndex;
  if (*baudOption) load.baudRate = baudRate;
  load.terminal.progress = ProgressFor(progress);
  if (const std::string error = ApplyResets(*resetOption ? &resetText : nullptr,
                                            *resetAfterOption ? &resetAfterText : nullptr, load);
      !error.empty())
    return UsageError(error);
  if (*waitOption) load.waitSeconds = waitSeconds;
  const bool connects =
      (load.comNumber || load.portPath || isGang) && (load.baudIndex || load.baudRate);
  const std::string connectionFault =
      listPorts || monitor || *outOption ? std::string() : ConnectionFault(load, ports, isGang);
  if ((load.reset || load.resetAfter || load.waitSeconds) && !connects)
    return UsageError("--reset, --reset-after and --wait need a port and a baud rate");

  if (*jsonOption && (listPorts || *outOption || monitor))
    return UsageError(
        "--json reports a load (one board or several), not --list-ports, "
        "--image-out or --monitor");
  CliCommand command;
  if (listPorts) {
    if (AsksForRun(load) || *outOption || monitor || isGang)
      return UsageError("--list-ports stands alone");
    command.action = CliAction::ListPorts;
    return command;
  }
  if (*outOption) {
    load.file.reset();
    if (AsksForRun(load) || monitor || isGang)
      return UsageError("--image-out does not talk to a target");
    command.action = CliAction::ExportImage;
    command.image = {hexFile, *ParseFlashSize(flashSizeText), imageOut};
    return command;
  }
  if (load.comNumber && (*load.comNumber < 1 || *load.comNumber > static_cast<int>(kLastPort)))
    return UsageError("ports are COM1 to COM256");
  if (monitor && !load.comNumber && !load.portPath)
    return UsageError("--monitor needs a port (-c N or --port)");
  // Checked before anything is sent, not after a whole load.
  if (monitor && !IsMonitorBaudRate(MonitorRate(load)))
    return UsageError("--monitor runs at one of the rates 1200 to 115200 of the baud list, not " +
                      std::to_string(MonitorRate(load)));
  if (load.NeedsFile() && !load.file)
    return UsageError("-p, -v and -a need the file to load (-f FILE)");
  if (!connectionFault.empty()) return UsageError(connectionFault);
  if (isGang && watch) return UsageError("--watch loads one board again and again, not many");
  if (isGang) return GangCommand(std::move(ports), std::move(gang), load, monitor);
  if (!monitor && !AsksForRun(load)) return UsageError("nothing to do");
  if (watch && (monitor || !load.NeedsFile()))
    return UsageError(
        "--watch loads a file again and again: it needs -f FILE with -a, -p or -v, "
        "and no --monitor");
  command.action = CliAction::Load;
  command.load = load;
  command.monitor = monitor;
  command.monitorSeconds = monitorSeconds;
  command.watch = watch;
  return command;
}

}  // namespace

CliCommand ParseCommandLine(int argc, const char* const* argv) {
  CliCommand command = ParseArguments(argc, argv);
  // Looked for in the raw arguments, so that a usage error is reported as JSON too.
  for (int i = 1; i < argc; ++i)
    if (std::string_view(argv[i]) == "--json") command.json = true;
  return command;
}

}  // namespace vestrel::cli
