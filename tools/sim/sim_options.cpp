#include "tools/sim/sim_options.h"

#include <CLI/CLI.hpp>
#include <charconv>
#include <map>

#include "platform/remote_port.h"

namespace vestrel::sim {
namespace {

// Flash sizes above this would only waste memory: real parts have at most a few MiB.
constexpr std::uint32_t kLargestFlash = 64u << 20;

constexpr const char* kDescription =
    "vestrel-sim: a simulated serial bootloader on a pseudo-terminal.\n"
    "\n"
    "Opens a pseudo-terminal, prints the path of its device (the slave side, e.g. /dev/pts/7)\n"
    "as the first line on stdout and serves the bootloader protocol on it until SIGTERM or\n"
    "SIGINT. Point the loader at that path, or at the symlink that --link places (for example\n"
    "$VESTREL_PORT_DIR/com5 so that the loader sees it as COM5). With --listen it serves the\n"
    "line over TCP as a serial port server does, and prints the URL to connect to instead.\n";

constexpr const char* kFooter =
    "\nBehaviour:\n"
    "  Sync probes   A lone 0x55 outside a frame, followed by no other byte within the quiet\n"
    "                time (--probe-quiet-ms, plus one byte time with --pace-baud), is a sync\n"
    "                probe and gets --sync-answer-count bytes of value --sync-answer. Frames\n"
    "                open with four 0x55 written at once, so they are never taken for probes.\n"
    "  Commands      read version 0x0009 (flash size, minor, major), erase 0x0003 (all flash\n"
    "                0xFF, reply after --erase-ms), program 0x0002 / blank block 0x0022 (NOR:\n"
    "                bits are only cleared), read memory 0x0001 (8 header bytes echoing the\n"
    "                request, then the words), finish 0x0008 (status 'E' 0x0045 if never\n"
    "                erased, 'G' 0x0047 if no 0x0002 block since the erase, else 0x0000),\n"
    "                start application 0x0000 (no reply; afterwards the line belongs to the\n"
    "                application: --app-text is sent, requests and probes are ignored, and\n"
    "                stderr says so at the first ignored probe). Only a restart of the\n"
    "                simulator, or a reset with --reset-line, brings the bootloader back.\n"
    "  Reset         With --reset-line the board first runs its application and ignores the\n"
    "                sync; releasing an asserted reset line restarts it, into its bootloader\n"
    "                if --entry-line (if given) is asserted then, else into its application.\n"
    "                A pseudo-terminal has no modem lines: the loader's DTR/RTS changes reach\n"
    "                the simulator through --modem-socket, a Unix socket that a shim in the\n"
    "                loader's process reports them to (two bytes: lines set, bit 0 DTR and\n"
    "                bit 1 RTS, and their states; answered with one byte once applied).\n"
    "                The flash window starts at 0x9D000000 and is --flash-size bytes long.\n"
    "  Validation    Every frame and request is checked strictly (four start bytes, escapes,\n"
    "                checksum, command code, second field, payload length, word-aligned\n"
    "                address range inside the window, 0x0022 only with blank words, 0x0002\n"
    "                only with a non-blank word, used length within the flash). A request\n"
    "                that breaks a rule gets NO reply; the violation goes to stderr and the log.\n"
    "  Faults        Rates are probabilities per reply (0 to 1), decided from --seed in a fixed\n"
    "                order, so equal seeds and equal requests give equal faults. Probe answers\n"
    "                are never faulted (see --silent and --ignore-probes).\n"
    "  Unplug        --unplug-after-bytes N counts bytes in both directions; when N is reached\n"
    "                the line is closed as a pulled USB adapter would be (the host's reads see\n"
    "                a hang-up, writes fail with EIO) and the simulator ends normally.\n"
    "  Port server   --listen rfc2217://HOST:PORT serves the line to one TCP client at a time\n"
    "                with the telnet COM port option (RFC 2217): rate, data size, parity, stop\n"
    "                size and flow control go to the pseudo-terminal; DTR, RTS, break and purge\n"
    "                commands are logged as given. socket://HOST:PORT passes raw bytes. PORT 0\n"
    "                lets the system pick one. An unplug closes the connection.\n"
    "  Line settings The rate, framing and flow control that reach the pseudo-terminal (set by\n"
    "                a local host, by ser2net in front of it, or by the port server) are logged\n"
    "                whenever they change.\n"
    "  At exit       (signal, --exit-after-start, --max-seconds, unplug) the flash goes to\n"
    "                --flash-out, the --link symlink is removed, and a summary with the byte\n"
    "                counts and the wire floor (their time on a real line at --pace-baud, or\n"
    "                at 38400 baud without it) goes to stderr and the log.\n"
    "\nLog (--log): one JSON object per line: events \"start\", \"probe\", \"request\" (t, bytes\n"
    "so far both ways, command, name, address or length, count, result \"ok\"/\"violation\"/\n"
    "\"ignored\", detail, status, faults), \"violation\" (frame-level), \"line\" (baud, "
    "data_bits,\n"
    "parity, stop_bits, flow), \"modem\" (line dtr/rts, on), \"control\" (break), \"purge\" "
    "(what),\n"
    "\"connect\", \"refused\" and \"disconnect\" (peer, detail), \"reset\" (runs: bootloader or\n"
    "application), \"unplug\" and \"exit\".\n"
    "\nExit status: 0 after a normal end, 1 on a runtime failure, 2 on a usage error.\n"
    "\nExample:\n"
    "  vestrel-sim --link /tmp/ports/com3 --erase-ms 200 --log sim.jsonl --flash-out flash.bin\n"
    "  vestrel-sim --listen rfc2217://127.0.0.1:0 --pace-baud 115200\n";

bool ParseVersion(const std::string& text, ModelConfig& model) {
  const auto dot = text.find('.');
  if (dot == std::string::npos) return false;
  unsigned major = 0;
  unsigned minor = 0;
  const char* begin = text.data();
  const char* end = begin + text.size();
  const auto a = std::from_chars(begin, begin + dot, major);
  const auto b = std::from_chars(begin + dot + 1, end, minor);
  if (a.ec != std::errc{} || a.ptr != begin + dot || b.ec != std::errc{} || b.ptr != end ||
      dot == 0 || dot + 1 == text.size() || major > 255 || minor > 255) {
    return false;
  }
  model.versionMajor = static_cast<std::uint8_t>(major);
  model.versionMinor = static_cast<std::uint8_t>(minor);
  return true;
}

// A 16-bit word in decimal or 0x-hexadecimal.
std::uint16_t ParseWord(const std::string& text) {
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const char* begin = text.data() + (hex ? 2 : 0);
  const char* end = text.data() + text.size();
  unsigned value = 0;
  const auto [ptr, ec] = std::from_chars(begin, end, value, hex ? 16 : 10);
  if (ec != std::errc{} || ptr != end || begin == end || value > 0xFFFF)
    throw CLI::ValidationError("--finish-status", "expects a word, 0 to 0xFFFF");
  return static_cast<std::uint16_t>(value);
}

void AddRate(CLI::App& app, const char* name, double& rate, const char* what) {
  app.add_option(name, rate, what)
      ->check(CLI::Range(0.0, 1.0))
      ->option_text("RATE=0")
      ->group("Faults");
}

}  // namespace

ParsedOptions ParseOptions(int argc, const char* const* argv, std::ostream& out,
                           std::ostream& err) {
  SimOptions o;
  CLI::App app{kDescription, "vestrel-sim"};
  app.footer(kFooter);
  app.get_formatter()->column_width(30);

  std::string version = "1.0";
  unsigned syncAnswer = o.syncAnswer;
  unsigned burstGapMs = 0;
  std::uint64_t unplugAfter = 0;

  app.add_option("--link", o.link,
                 "Place a symlink to the pseudo-terminal here (e.g. a comN entry of a port "
                 "directory); replaces a stale symlink, removed at exit")
      ->option_text("PATH");
  app.add_option("--listen", o.listen,
                 "Serve the line over TCP at rfc2217://HOST:PORT (telnet COM port option) or "
                 "socket://HOST:PORT (raw); port 0 picks a free one")
      ->check(CLI::Validator(
          [](const std::string& text) {
            return platform::ParseRemotePortUrl(text, true)
                       ? std::string()
                       : std::string("expects ") + platform::kRemotePortForm;
          },
          "URL"))
      ->option_text("URL");

  app.add_option("--flash-size", o.model.flashSize,
                 "Program flash size in bytes, a multiple of 4, at most 64 MiB")
      ->option_text("BYTES=0x80000")
      ->group("Bootloader");
  app.add_option("--version", version, "Bootloader version reported, each part 0 to 255")
      ->option_text("MAJOR.MINOR=1.0")
      ->group("Bootloader");
  app.add_option("--flash-in", o.flashIn,
                 "Initial flash contents from this binary file (the rest blank 0xFF); "
                 "default: all blank")
      ->check(CLI::ExistingFile)
      ->option_text("FILE")
      ->group("Bootloader");
  app.add_option("--flash-out", o.flashOut, "Write the flash contents here at exit")
      ->option_text("FILE")
      ->group("Bootloader");
  std::string finishStatus;
  app.add_option("--finish-status", finishStatus,
                 "Answer every finish with this status word (e.g. 0x45 'E', 0x47 'G') instead "
                 "of the bootloader's own")
      ->option_text("WORD")
      ->group("Bootloader");
  app.add_option("--app-text", o.appText,
                 "After start application, send this text as the booted application would")
      ->option_text("TEXT")
      ->group("Bootloader");
  app.add_option("--app-delay-ms", o.appDelayMs, "Delay before --app-text is sent")
      ->option_text("MS=100")
      ->group("Bootloader");

  app.add_option("--erase-ms", o.eraseMs, "Time the erase takes before its reply")
      ->option_text("MS=500")
      ->group("Timing");
  app.add_option("--pace-baud", o.paceBaud,
                 "Emulate wire time at this baud rate both ways (10 bit times per byte); "
                 "0: off, at most 4000000")
      ->check(CLI::Range(0u, 4000000u))
      ->option_text("BAUD=0")
      ->group("Timing");
  app.add_option("--probe-quiet-ms", o.probeQuietMs,
                 "Silence after a lone 0x55 that makes it a sync probe, 1 to 50")
      ->check(CLI::Range(1u, 50u))
      ->option_text("MS=3")
      ->group("Timing");

  app.add_option("--sync-answer", syncAnswer, "Value of the byte answering a sync probe")
      ->check(CLI::Range(0u, 255u))
      ->option_text("BYTE=0x55")
      ->group("Sync");
  app.add_option("--sync-answer-count", o.syncAnswerCount,
                 "Bytes sent per answered probe, 1 to 16 (2 leaves a stray byte that the host "
                 "must discard)")
      ->check(CLI::Range(1u, 16u))
      ->option_text("N=1")
      ->group("Sync");
  app.add_option("--ignore-probes", o.ignoreProbes, "Leave the first N sync probes unanswered")
      ->option_text("N=0")
      ->group("Sync");
  app.add_flag(
         "--silent", o.silent,
         "Never answer anything, not even sync probes (requests are still carried out and logged)")
      ->group("Sync");

  app.add_option("--seed", o.seed, "Seed of the fault decisions")
      ->option_text("S=1")
      ->group("Faults");
  AddRate(app, "--noise", o.faults.noise, "Rate of replies with noise bytes (never 0x04) ahead");
  app.add_option("--noise-max", o.faults.noiseMax, "Most noise bytes ahead of one reply, 1 to 256")
      ->check(CLI::Range(1, 256))
      ->option_text("N=8")
      ->group("Faults");
  AddRate(app, "--corrupt", o.faults.corrupt,
          "Rate of replies with one changed byte (the host sees a checksum error)");
  AddRate(app, "--drop", o.faults.drop, "Rate of replies not sent at all");
  AddRate(app, "--bad-readback", o.faults.badReadback,
          "Rate of read-memory replies with one wrong word (checksum valid)");
  app.add_option("--fail-readback-times", o.faults.failReadbackTimes,
                 "The first N read-memory replies carry a wrong word")
      ->option_text("N=0")
      ->group("Faults");
  AddRate(app, "--truncate", o.faults.truncate,
          "Rate of replies cut off after their first escape byte (else at a random point)");
  AddRate(app, "--babble", o.faults.babble,
          "Rate of replies replaced by endless start bytes and noise, until the host sends");
  app.add_option("--burst-gap-ms", burstGapMs,
                 "Send replies in bursts with this gap between them; 0: in one piece")
      ->option_text("MS=0")
      ->group("Faults");
  app.add_option("--burst-bytes", o.faults.burstBytes, "Most bytes in one burst, 1 to 4096")
      ->check(CLI::Range(1u, 4096u))
      ->option_text("N=4")
      ->group("Faults");
  AddRate(app, "--late", o.faults.late,
          "Rate of replies sent --late-ms after they are due, past the host's read time-out");
  unsigned lateMs = 150;
  app.add_option("--late-ms", lateMs, "How late a late reply comes, 0 to 10000")
      ->check(CLI::Range(0u, 10000u))
      ->option_text("MS=150")
      ->group("Faults");
  std::uint64_t stopReadingAfter = 0;
  app.add_option("--stop-reading-after-bytes", stopReadingAfter,
                 "Stop taking bytes from the line once N have come in (and so stop answering), "
                 "as a stalled adapter does")
      ->option_text("N")
      ->group("Faults");
  app.add_option("--unplug-after-bytes", unplugAfter,
                 "Pull the line once N bytes have crossed it, both directions counted")
      ->option_text("N")
      ->group("Faults");

  std::string resetLine, entryLine;
  const std::map<std::string, Line> lines{{"dtr", Line::Dtr}, {"rts", Line::Rts}};
  app.add_option("--reset-line", resetLine,
                 "The line that resets the board; the bootloader answers only after a reset")
      ->check(CLI::IsMember({"dtr", "rts"}))
      ->option_text("dtr|rts")
      ->group("Reset");
  auto* entryOption =
      app.add_option("--entry-line", entryLine,
                     "The bootloader entry line, which must be asserted when reset is released")
          ->check(CLI::IsMember({"dtr", "rts"}))
          ->option_text("dtr|rts")
          ->group("Reset");
  app.add_option("--modem-socket", o.modemSocket,
                 "Learn the loader's DTR/RTS changes from this Unix socket (tests)")
      ->option_text("PATH")
      ->group("Reset");

  app.add_flag("--exit-after-start", o.exitAfterStart,
               "End once start application has arrived (and --app-text has gone out)")
      ->group("Lifetime");
  app.add_option("--max-seconds", o.maxSeconds, "End after this many seconds; 0: no limit")
      ->check(CLI::NonNegativeNumber)
      ->option_text("SECONDS=0")
      ->group("Lifetime");
  app.add_option("--log", o.logPath, "Write one JSON line per request and event to this file")
      ->option_text("FILE")
      ->group("Output");
  app.add_flag("--quiet", o.quiet,
               "Print neither violations, ignored syncs nor the exit summary on stderr")
      ->group("Output");

  try {
    app.parse(argc, argv);
    if (o.model.flashSize == 0 || o.model.flashSize % 4 != 0 || o.model.flashSize > kLargestFlash) {
      throw CLI::ValidationError("--flash-size",
                                 "must be a non-zero multiple of 4, at most 64 MiB");
    }
    if (!ParseVersion(version, o.model)) {
      throw CLI::ValidationError("--version", "expects MAJOR.MINOR, each 0 to 255");
    }
    if (!finishStatus.empty()) o.model.finishStatus = ParseWord(finishStatus);
    if (*entryOption && (resetLine.empty() || entryLine == resetLine))
      throw CLI::ValidationError("--entry-line", "needs --reset-line, and another line than it");
  } catch (const CLI::CallForHelp& e) {
    return {std::nullopt, app.exit(e, out, err)};
  } catch (const CLI::ParseError& e) {
    app.exit(e, out, err);
    return {std::nullopt, 2};
  }
  o.syncAnswer = static_cast<std::uint8_t>(syncAnswer);
  o.faults.burstGap = std::chrono::milliseconds(burstGapMs);
  if (app.count("--unplug-after-bytes") > 0) o.unplugAfterBytes = unplugAfter;
  if (app.count("--stop-reading-after-bytes") > 0) o.stopReadingAfterBytes = stopReadingAfter;
  o.faults.lateBy = std::chrono::milliseconds(lateMs);
  if (!resetLine.empty()) {
    o.resetWiring = ResetWiring{lines.at(resetLine), std::nullopt};
    if (!entryLine.empty()) o.resetWiring->entry = lines.at(entryLine);
  }
  return {o, 0};
}

}  // namespace vestrel::sim
