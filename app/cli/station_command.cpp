#include "app/cli/station_command.h"

#include <charconv>
#include <sstream>

#include "app/cli/cli_options.h"
#include "app/cli/station_view.h"
#include "app/station.h"
#include "image/sha256.h"
#include "platform/process.h"
#include "platform/remote_port.h"
#include "platform/user_config.h"

namespace vestrel::cli {
namespace {

std::optional<std::uint64_t> Number(const std::string& text, int base) {
  std::uint64_t value = 0;
  const char* begin = text.data();
  const char* end = begin + text.size();
  if (base == 16) begin += 2;
  const auto [ptr, ec] = std::from_chars(begin, end, value, base);
  if (begin == end || ec != std::errc{} || ptr != end) return std::nullopt;
  return value;
}

std::optional<std::uint64_t> Address(const std::string& text) {
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  return Number(text, hex ? 16 : 10);
}

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::istringstream in(text);
  for (std::string part; std::getline(in, part, separator);) parts.push_back(part);
  if (!text.empty() && text.back() == separator) parts.emplace_back();
  return parts;
}

struct Started {
  int exitCode = 0;  // not 0: the station could not start
  std::vector<std::string> lines;
  image::FileFormat format = image::FileFormat::Hex;
  std::string sha256;
  std::vector<std::string> fixed;
  std::optional<app::SerialPlan> plan;
  std::vector<app::BoardData> list;
};

int Fail(std::ostream& err, const std::string& why, int code) {
  err << "vestrel-cli station: " << why << '\n';
  return code;
}

// The fixed ports of the command line and the ports file; remote ports cannot be watched.
int ReadPorts(const StationOptions& station, Started& s, std::ostream& err) {
  s.fixed = station.ports;
  if (station.portsFrom) {
    const auto listed = ReadPortsFile(*station.portsFrom);
    if (!listed)
      return Fail(err, "--ports-from " + *station.portsFrom + ": cannot read it", kExitUsage);
    s.fixed.insert(s.fixed.end(), listed->begin(), listed->end());
  }
  for (const std::string& port : s.fixed)
    if (platform::NamesRemotePort(port) || !PortNameFault(port).empty())
      return Fail(err,
                  "the station loads boards on local serial ports; " + port +
                      " is not one (remote ports cannot be watched for boards)",
                  kExitUsage);
  if (const std::string twice = NamedTwice(s.fixed); !twice.empty())
    return Fail(err, "the port " + twice + " is named twice", kExitUsage);
  if (s.fixed.empty() && station.watch.empty())
    return Fail(err, "no ports: give --port, --ports-from or --watch-ports", kExitUsage);
  return 0;
}

// The board data's place: in the program flash, and (unless allowed) clear of the file's data.
int PlanSerials(const StationOptions& station, Started& s, std::ostream& err) {
  if (!station.serial) return 0;
  const SerialOption& option = *station.serial;
  const std::optional<std::uint32_t> address = image::ProgramFlashAddress(option.address);
  std::size_t length = option.format.width;
  if (station.serialsFrom) {
    std::string why;
    std::optional<std::vector<app::BoardData>> list =
        app::ReadSerialList(*station.serialsFrom, option.format, why);
    if (!list) return Fail(err, "--serials-from: " + why, kExitUsage);
    s.list = std::move(*list);
    for (const app::BoardData& entry : s.list) length = std::max(length, entry.bytes.size());
  }
  char text[16];
  std::snprintf(text, sizeof text, "0x%08llX", static_cast<unsigned long long>(option.address));
  if (!address || !image::ProgramFlashAddress(*address + length - 1))
    return Fail(err,
                std::string("--serial: ") + text + " (and its " + std::to_string(length) +
                    " bytes) is not in the program flash: 0x1D000000 to 0x1DFFFFFF, or the "
                    "same through 0x9D000000 or 0xBD000000",
                kExitUsage);
  if (!station.serialOverwrite &&
      image::HoldsDataWithin(s.lines, *address, static_cast<std::uint32_t>(length)))
    return Fail(err,
                std::string("--serial: ") + text + " lies inside the file's own data; " +
                    "choose a free address, or --serial-overwrite to write over it",
                kExitUsage);
  s.plan = app::SerialPlan{*address,    option.format,       option.start,
                           option.step, station.serialsFrom, station.reuseFailed};
  return 0;
}

int Prepare(const LoadOptions& load, const StationOptions& station, Started& s, std::ostream& err) {
  if (const int code = ReadPorts(station, s, err)) return code;
  image::HexError error;
  if (!image::ReadFirmwareFile(*load.file, s.lines, &error, &s.format))
    return Fail(
        err,
        "cannot use " + *load.file + ": " + error.reason + "\n  Nothing was sent to any board.",
        kExitFailure);
  std::vector<std::uint8_t> image;
  if (!image::UsedImage(s.lines, *load.file, image, &error))
    return Fail(err, "cannot use " + *load.file + ": " + error.reason, kExitFailure);
  s.sha256 = image::Sha256Hex(image);
  return PlanSerials(station, s, err);
}

std::string ShellQuoted(const std::string& text) {
#ifdef _WIN32
  return "\"" + text + "\"";
#else
  std::string quoted = "'";
  for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
#endif
}

// The command gets the result, the port and the board's serial as arguments and the log's JSON
// line on its standard input.
StationView::Hook HookOf(const std::optional<std::string>& command) {
  if (!command) return {};
  return [command = *command](const app::AttemptRecord& record) {
    return platform::RunCommandWithInput(command + " " + ShellQuoted(record.result) + " " +
                                             ShellQuoted(record.port) + " " +
                                             ShellQuoted(record.boardSerial),
                                         app::JsonLine(record));
  };
}

std::string Heading(const LoadOptions& load, const std::string& method) {
  return "Station: " + *load.file + ", ports watched by " + method +
         "; Ctrl-C ends (after the loads in progress)";
}

void PrintTotals(const app::StationEnd& end, const StationOptions& station,
                 const app::SerialNumbers* serials, std::ostream& out) {
  out << "Boards: " << end.totals.ok << " ok, " << end.totals.failed << " failed";
  if (!end.totals.burnt.empty()) {
    out << "; burnt serials:";
    for (const std::string& burnt : end.totals.burnt) out << ' ' << burnt;
  }
  if (serials) {
    const std::string next = serials->NextText();
    out << "; next serial " << (next.empty() ? "none left" : next);
  }
  out << "; log " << station.log << '\n';
}

}  // namespace

std::optional<SerialOption> ParseSerialOption(const std::string& text, std::string& why) {
  std::vector<std::string> parts = Split(text, ':');
  why = "--serial " + text + ": expected ADDR:FORMAT[:START[:STEP]], such as 0x1D07F000:u32le:1000";
  if (parts.size() < 2) return std::nullopt;
  // The formats with a width carry it after a colon of their own.
  std::string format = parts[1];
  std::size_t next = 2;
  if ((format == "ascii" || format == "hex" || format == "bcd") && parts.size() > 2)
    format += ":" + parts[next++];
  SerialOption option;
  const std::optional<std::uint64_t> address = Address(parts[0]);
  const std::optional<image::DataFormat> parsed = image::ParseDataFormat(format);
  if (!address || parts.size() > next + 2) return std::nullopt;
  if (!parsed) {
    why = "--serial: unknown format \"" + format +
          "\" (u32le, u32be, u64le, ascii:N, hex:N or bcd:N, N bytes from 1 to 64)";
    return std::nullopt;
  }
  option.address = *address;
  option.format = *parsed;
  if (parts.size() > next) {
    const auto start = Number(parts[next], 10);
    const auto step = parts.size() > next + 1 ? Number(parts[next + 1], 10) : std::uint64_t{1};
    if (!start || !step || *step == 0) return std::nullopt;
    option.start = *start;
    option.step = *step;
    option.counts = true;
  }
  if (option.start > image::LargestValue(option.format)) {
    why = "--serial: " + std::to_string(option.start) + " does not fit " + format;
    return std::nullopt;
  }
  why.clear();
  return option;
}

int RunStation(const LoadOptions& load, const StationOptions& station, std::ostream& out,
               std::ostream& err, StopCheck stop, StopCheck abort) {
  Started s;
  if (const int code = Prepare(load, station, s, err)) return code;

  app::StationLog log;
  if (const std::string why = log.Open(station.log, station.logJson); !why.empty())
    return Fail(err, why, kExitFailure);
  std::optional<app::SerialNumbers> serials;
  std::vector<app::BoardData> interrupted;
  if (s.plan) {
    serials.emplace();
    if (const std::string why = serials->Open(station.log + ".state", *s.plan, s.list, interrupted);
        !why.empty())
      return Fail(err, why, kExitFailure);
  }

  std::string method;
  const std::unique_ptr<app::StationPortSource> ports =
      app::WatchStationPorts(s.fixed, station.watch, method);
  app::StationConfig config;
  config.fileName = *load.file;
  config.format = s.format;
  config.lines = std::move(s.lines);
  config.imageSha256 = s.sha256;
  config.dataAddress = s.plan ? s.plan->address : 0;
  config.stationName = platform::HostName();
  config.ports = s.fixed;
  config.settle = std::chrono::milliseconds(station.settleMs);
  config.loadPresentAtStart = station.watch.empty();

  StationView view(out, err, load.terminal, Heading(load, method), HookOf(station.onResult));
  app::Station bench(config, *ports, serials ? &*serials : nullptr, log,
                     app::GangBoardLoad(load, abort), view);
  const app::StationEnd end = bench.Run(interrupted, stop);
  view.Finish();
  if (!end.fault.empty()) err << "vestrel-cli station: stopped: " << end.fault << '\n';
  PrintTotals(end, station, serials ? &*serials : nullptr, out);
  return end.fault.empty() ? kExitOk : kExitFailure;
}

}  // namespace vestrel::cli
