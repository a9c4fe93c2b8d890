// Seeded complete loads with vestrel-cli against vestrel-sim under mixed line faults, each
// judged by what the loader promises: a flash equal to the image with exit code 0, or exit code
// 1 with a message that fits the faults; never a hang, never exit 0 with a wrong flash.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace vestrel::soak {

enum class FaultClass {
  Clean,       // no faults: must load
  Absorbable,  // noise, corruption, drops, wrong read-back words, truncation and bursts at
               // rates the retries absorb; only the commands sent once may fail
  Beyond,      // faults beyond the retry budgets: must fail with the matching message
  Unplug,      // the line is pulled at a random byte: must fail saying the device went away
  Dead,        // the target stops answering mid-load (its line stops taking bytes), or refuses
               // the finish: must fail saying what happened, within a minute
};

const char* FaultClassName(FaultClass c);

struct SoakCase {
  std::uint64_t seed = 0;
  FaultClass faultClass = FaultClass::Clean;
  std::uint32_t flashSize = 0;
  std::vector<std::string> simArgs;     // the seed and the fault options
  std::vector<std::string> acceptable;  // first lines of the error box that fit the faults
  std::string required;                 // text the error output must hold, "" for none
};

// The case of a seed: class, flash size (64 to 512 KiB) and faults all follow from it.
SoakCase MakeCase(std::uint64_t seed, std::optional<FaultClass> faultClass = std::nullopt);

enum class Verdict {
  Loaded,          // exit 0, flash equal to the image
  FailedRightly,   // exit 1 with a message that fits the class
  WrongMessage,    // exit 1, but the message does not fit the faults
  UnexpectedExit,  // a clean line that did not load, or an exit code other than 0 and 1
  WrongFlash,      // exit 0 with a flash that differs from the image
  Hang,            // still running at its deadline (killed)
};

const char* VerdictName(Verdict v);
bool IsFault(Verdict v);  // a verdict that breaks the loader's promise

struct SoakResult {
  SoakCase soakCase;
  Verdict verdict = Verdict::Hang;
  std::optional<int> exitCode;
  std::string firstMessage;  // the first error box's first line, "" when none
  double seconds = 0;
  std::string detail;  // what went wrong, for a faulty verdict
};

struct SoakPaths {
  std::string cli;
  std::string sim;
};

// Runs one complete load (vestrel-cli -a at 115200 baud) and judges it. Uses VESTREL_PORT_DIR of
// its own while it runs.
SoakResult RunCase(const SoakCase& soakCase, const SoakPaths& paths);

// One line per class and verdict count, then the failure messages seen.
void PrintTable(const std::vector<SoakResult>& results, std::ostream& out);

}  // namespace vestrel::soak
