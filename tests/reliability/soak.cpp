#include "tests/reliability/soak.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <random>
#include <sstream>

#include "tests/cli/run_program.h"
#include "tests/reliability/child_process.h"
#include "tests/support/hex_text.h"
#include "tests/support/port_dir.h"
#include "tests/support/sim_process.h"

namespace vestrel::soak {
namespace {

using test::Bytes;
using Random = std::mt19937_64;

constexpr std::uint32_t kPage = 4096;
constexpr std::uint32_t kFlashBase = 0x1D000000;

// First lines of the boxes that a load can end with when only the command sent once (the erase)
// meets a fault: its reply is not asked for again.
const std::vector<std::string> kOnceOnlyFailures = {"Erase Flash Receive Error"};

double Uniform(Random& random, double high) {
  return std::uniform_real_distribution<double>(0.0, high)(random);
}

std::uint64_t Below(Random& random, std::uint64_t bound) {
  return random() % bound;
}

std::string Rate(double rate) {
  char text[32];
  std::snprintf(text, sizeof text, "%.4f", rate);
  return text;
}

struct Variant {
  std::vector<std::string> simArgs;
  std::vector<std::string> acceptable;  // first box lines that fit; "" for any box
  std::string required;                 // text the error output must hold
};

// Faults that no retry budget absorbs, each with the failure it must end in.
Variant BeyondVariant(Random& random) {
  const std::vector<Variant> variants = {
      {{"--fail-readback-times", "100000000"}, {"Send Program Error Addr"}, ""},
      {{"--bad-readback", "0.9"}, {"Send Program Error Addr"}, ""},
      {{"--drop", "1"}, {"Read Version Receive Error"}, "No reply from the bootloader"},
      {{"--corrupt", "1"}, {"Read Version Receive Error"}, "got no valid reply"},
      {{"--babble", "1"}, {"Read Version Receive Error"}, "The line never goes quiet"},
      // Sync probes go unanswered: the connect fails and nothing more is sent.
      {{"--silent"}, {""}, ""},
  };
  return variants[Below(random, variants.size())];
}

// A target that dies part-way (its line takes no more bytes, nothing answers), or that
// refuses the finish: every step after it ends at once, and nothing is started.
Variant DeadVariant(Random& random, std::uint32_t flashSize) {
  if (Below(random, 3) == 0) {
    const bool notErased = Below(random, 2) == 0;
    return {{"--finish-status", notErased ? "0x45" : "0x47"},
            {notErased ? "Flash Not Erase" : "Flash Not Programmed"},
            "The bootloader refused the closing report"};
  }
  return {{"--stop-reading-after-bytes",
           std::to_string(200 + Below(random, std::uint64_t{flashSize} * 2))},
          {""},
          "No reply from the bootloader to 20 requests in a row"};
}

Variant AbsorbableVariant(Random& random) {
  Variant v;
  v.simArgs = {"--noise",        Rate(Uniform(random, 0.05)),
               "--noise-max",    std::to_string(1 + Below(random, 64)),
               "--corrupt",      Rate(Uniform(random, 0.04)),
               "--drop",         Rate(Uniform(random, 0.02)),
               "--bad-readback", Rate(Uniform(random, 0.05)),
               "--truncate",     Rate(Uniform(random, 0.03)),
               "--late",         Rate(Uniform(random, 0.02)),
               "--late-ms",      std::to_string(110 + Below(random, 120))};
  if (Below(random, 2) == 0) {
    // Gaps between bursts of a few hundred bytes: every read reply of 540 bytes waits a few.
    v.simArgs.insert(v.simArgs.end(), {"--burst-gap-ms", std::to_string(1 + Below(random, 2)),
                                       "--burst-bytes", std::to_string(256 + Below(random, 769))});
  }
  v.acceptable = kOnceOnlyFailures;
  return v;
}

FaultClass PickClass(Random& random) {
  const auto r = Below(random, 100);
  if (r < 15) return FaultClass::Clean;
  if (r < 60) return FaultClass::Absorbable;
  if (r < 75) return FaultClass::Beyond;
  if (r < 88) return FaultClass::Unplug;
  return FaultClass::Dead;
}

// Regions of random data anywhere in the flash (the last byte included now and then), in
// records of random length, plus data outside the program flash that the loader skips.
struct Image {
  std::string hexText;
  Bytes flash;
};

Image MakeImage(Random& random, std::uint32_t flashSize) {
  test::HexText hex;
  Image image{{}, Bytes(flashSize, 0xFF)};
  hex.Data(0x1FC00000, test::Pattern(64, 3));  // boot flash
  const auto regions = 1 + Below(random, 4);
  for (std::uint64_t r = 0; r < regions; ++r) {
    const auto offset = static_cast<std::uint32_t>(Below(random, flashSize));
    auto length = static_cast<std::uint32_t>(
        1 + Below(random, std::min<std::uint32_t>(flashSize - offset, 128 * 1024)));
    if (r == 0 && Below(random, 8) == 0) length = flashSize - offset;  // up to the end
    Bytes data(length);
    for (auto& b : data) b = static_cast<std::uint8_t>(random());
    hex.Data(kFlashBase + offset, data, 1 + Below(random, 255));
    std::copy(data.begin(), data.end(), image.flash.begin() + offset);
  }
  hex.End();
  image.hexText = hex.Text(Below(random, 2) == 0 ? "\r\n" : "\n");
  return image;
}

// A hang guard, not a speed goal: many times what a load takes even with faults on a busy
// machine (a clean 512 KiB load takes some 15 s). A dead line must end the load within a load's
// time and some 30 s of giving up.
std::chrono::milliseconds Deadline(const SoakCase& c) {
  if (c.faultClass == FaultClass::Dead)
    return std::chrono::milliseconds(60'000 + c.flashSize / 1024 * 100);
  return std::chrono::milliseconds(180'000 + c.flashSize / 1024 * 1'500);
}

std::string FirstBox(const std::string& err) {
  std::istringstream lines(err);
  std::string line;
  while (std::getline(lines, line)) {
    for (const char* caption : {"Error: ", "Port Error: "}) {
      if (line.rfind(caption, 0) == 0) return line.substr(std::string(caption).size());
    }
  }
  return {};
}

bool StartsWithAny(const std::string& text, const std::vector<std::string>& prefixes) {
  return std::any_of(prefixes.begin(), prefixes.end(),
                     [&](const std::string& p) { return text.rfind(p, 0) == 0; });
}

}  // namespace

const char* FaultClassName(FaultClass c) {
  switch (c) {
    case FaultClass::Clean:
      return "clean";
    case FaultClass::Absorbable:
      return "absorbable";
    case FaultClass::Beyond:
      return "beyond";
    case FaultClass::Unplug:
      return "unplug";
    case FaultClass::Dead:
      return "dead";
  }
  return "?";
}

const char* VerdictName(Verdict v) {
  switch (v) {
    case Verdict::Loaded:
      return "loaded";
    case Verdict::FailedRightly:
      return "failed rightly";
    case Verdict::WrongMessage:
      return "wrong message";
    case Verdict::UnexpectedExit:
      return "unexpected exit";
    case Verdict::WrongFlash:
      return "WRONG FLASH AT EXIT 0";
    case Verdict::Hang:
      return "HANG";
  }
  return "?";
}

bool IsFault(Verdict v) {
  return v != Verdict::Loaded && v != Verdict::FailedRightly;
}

SoakCase MakeCase(std::uint64_t seed, std::optional<FaultClass> faultClass) {
  Random random(seed);
  SoakCase c;
  c.seed = seed;
  c.faultClass = faultClass.value_or(PickClass(random));
  c.flashSize = static_cast<std::uint32_t>(16 + Below(random, 113)) * kPage;  // 64..512 KiB
  c.simArgs = {"--seed", std::to_string(seed)};
  Variant variant;
  switch (c.faultClass) {
    case FaultClass::Clean:
      break;
    case FaultClass::Absorbable:
      variant = AbsorbableVariant(random);
      break;
    case FaultClass::Beyond:
      variant = BeyondVariant(random);
      break;
    case FaultClass::Unplug:
      // Past the connect, anywhere up to about the traffic of a whole load.
      variant.simArgs = {"--unplug-after-bytes",
                         std::to_string(200 + Below(random, std::uint64_t{c.flashSize} * 3))};
      break;
    case FaultClass::Dead:
      variant = DeadVariant(random, c.flashSize);
      break;
  }
  c.simArgs.insert(c.simArgs.end(), variant.simArgs.begin(), variant.simArgs.end());
  c.acceptable = variant.acceptable;
  c.required = variant.required;
  return c;
}

SoakResult RunCase(const SoakCase& c, const SoakPaths& paths) {
  SoakResult result;
  result.soakCase = c;
  Random random(c.seed ^ 0x9E3779B97F4A7C15ull);
  const Image image = MakeImage(random, c.flashSize);
  Bytes before(c.flashSize);  // the target's old firmware: only an erase clears it
  for (auto& b : before) b = static_cast<std::uint8_t>(random());

  test::TempDir dir;
  testing_support::PortDir ports;
  const std::string hexFile = dir.Write("app.hex", image.hexText);
  const std::string flashIn = dir.Write("before.bin", std::string(before.begin(), before.end()));
  const std::string flashOut = dir.File("after.bin");

  test::SimProcess sim(paths.sim);
  std::vector<std::string> simArgs = {"--flash-size", std::to_string(c.flashSize),
                                      "--erase-ms",   "50",
                                      "--link",       ports.Entry(1).string(),
                                      "--flash-in",   flashIn,
                                      "--flash-out",  flashOut,
                                      "--quiet"};
  simArgs.insert(simArgs.end(), c.simArgs.begin(), c.simArgs.end());
  if (!sim.Start(simArgs)) {
    result.verdict = Verdict::UnexpectedExit;
    result.detail = "the simulator did not start";
    return result;
  }

  const auto start = std::chrono::steady_clock::now();
  test::ChildProcess cli;
  cli.Start(paths.cli, {"-f", hexFile, "-c", "1", "-b", "7", "-a", "--progress", "never"},
            dir.File("out.txt"), dir.File("err.txt"));
  result.exitCode = cli.WaitExit(Deadline(c));
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const std::string err = test::ReadText(dir.File("err.txt"));
  result.firstMessage = FirstBox(err);
  if (!result.exitCode) {
    cli.Kill();
    result.verdict = Verdict::Hang;
    result.detail = "killed at its deadline";
    return result;
  }
  if (!sim.Terminate()) {
    result.verdict = Verdict::UnexpectedExit;
    result.detail = "the simulator did not end";
    return result;
  }
  const bool flashOk = test::ReadBytes(flashOut) == image.flash;

  if (*result.exitCode == 0) {
    result.verdict = flashOk ? Verdict::Loaded : Verdict::WrongFlash;
    if (!flashOk) result.detail = "the flash differs from the image";
  } else if (*result.exitCode != 1 || c.faultClass == FaultClass::Clean) {
    result.verdict = Verdict::UnexpectedExit;
    result.detail = "exit code " + std::to_string(*result.exitCode) + ": " + err;
  } else if (c.faultClass == FaultClass::Unplug) {
    const bool said = err.find("went away (adapter unplugged?)") != std::string::npos;
    result.verdict = said ? Verdict::FailedRightly : Verdict::WrongMessage;
    if (!said) result.detail = err;
  } else {
    const bool fits = StartsWithAny(result.firstMessage, c.acceptable) &&
                      err.find(c.required) != std::string::npos;
    result.verdict = fits ? Verdict::FailedRightly : Verdict::WrongMessage;
    if (!fits) result.detail = err;
  }
  return result;
}

void PrintTable(const std::vector<SoakResult>& results, std::ostream& out) {
  const Verdict verdicts[] = {Verdict::Loaded,       Verdict::FailedRightly,
                              Verdict::WrongMessage, Verdict::UnexpectedExit,
                              Verdict::WrongFlash,   Verdict::Hang};
  const FaultClass classes[] = {FaultClass::Clean, FaultClass::Absorbable, FaultClass::Beyond,
                                FaultClass::Unplug, FaultClass::Dead};
  char line[256];
  std::snprintf(line, sizeof line, "%-11s %5s %7s %7s %7s %7s %7s %5s %8s %8s\n", "class", "runs",
                "loaded", "failed", "wrong", "unexp.", "wrong", "hang", "mean s", "max s");
  out << line;
  std::snprintf(line, sizeof line, "%-11s %5s %7s %7s %7s %7s %7s %5s %8s %8s\n", "", "", "",
                "rightly", "message", "exit", "flash", "", "", "");
  out << line;
  auto row = [&](const char* name, auto keep) {
    std::map<Verdict, int> counts;
    int runs = 0;
    double total = 0, longest = 0;
    for (const auto& r : results) {
      if (!keep(r)) continue;
      ++runs;
      ++counts[r.verdict];
      total += r.seconds;
      longest = std::max(longest, r.seconds);
    }
    std::snprintf(line, sizeof line, "%-11s %5d %7d %7d %7d %7d %7d %5d %8.1f %8.1f\n", name, runs,
                  counts[verdicts[0]], counts[verdicts[1]], counts[verdicts[2]],
                  counts[verdicts[3]], counts[verdicts[4]], counts[verdicts[5]],
                  runs ? total / runs : 0.0, longest);
    out << line;
  };
  for (FaultClass c : classes)
    row(FaultClassName(c), [c](const SoakResult& r) { return r.soakCase.faultClass == c; });
  row("all", [](const SoakResult&) { return true; });

  std::map<std::string, int> messages;
  for (const auto& r : results)
    if (r.exitCode == 1)
      ++messages[std::string(FaultClassName(r.soakCase.faultClass)) + ": " +
                 (r.firstMessage.empty() ? "(no box)" : r.firstMessage)];
  if (!messages.empty()) out << "\nFirst error box of the failed loads:\n";
  for (const auto& [text, count] : messages) {
    std::snprintf(line, sizeof line, "%5d  ", count);
    out << line << text << '\n';
  }
}

}  // namespace vestrel::soak
