// vestrel-soak: seeded complete loads against the simulator with mixed faults, and a table of
// how they ended. Exit code 1 when any load broke the loader's promise (a hang, exit 0 with a
// wrong flash, a failure with a message that does not fit its faults).
//
//   vestrel-soak [--runs N] [--first-seed S] [--class clean|absorbable|beyond|unplug|dead]
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "tests/reliability/soak.h"

namespace {

using namespace vestrel::soak;

std::optional<FaultClass> ClassNamed(const std::string& name) {
  for (FaultClass c : {FaultClass::Clean, FaultClass::Absorbable, FaultClass::Beyond,
                       FaultClass::Unplug, FaultClass::Dead})
    if (name == FaultClassName(c)) return c;
  return std::nullopt;
}

int Usage() {
  std::cerr << "usage: vestrel-soak [--runs N] [--first-seed S] "
               "[--class clean|absorbable|beyond|unplug|dead]\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  unsigned long runs = 100;
  unsigned long long firstSeed = 1;
  std::optional<FaultClass> onlyClass;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) return Usage();
    const std::string value = argv[++i];
    if (arg == "--runs") {
      runs = std::strtoul(value.c_str(), nullptr, 10);
    } else if (arg == "--first-seed") {
      firstSeed = std::strtoull(value.c_str(), nullptr, 10);
    } else if (arg == "--class") {
      onlyClass = ClassNamed(value);
      if (!onlyClass) return Usage();
    } else {
      return Usage();
    }
  }

  const SoakPaths paths{VESTREL_CLI, VESTREL_SIM_BINARY};
  std::vector<SoakResult> results;
  for (unsigned long n = 0; n < runs; ++n) {
    const SoakCase c = MakeCase(firstSeed + n, onlyClass);
    SoakResult r = RunCase(c, paths);
    std::cout << "seed " << c.seed << "  " << FaultClassName(c.faultClass) << "  "
              << c.flashSize / 1024 << " KiB  " << VerdictName(r.verdict) << "  "
              << static_cast<int>(r.seconds * 10) / 10.0 << " s";
    if (!r.firstMessage.empty()) std::cout << "  (" << r.firstMessage << ")";
    std::cout << std::endl;
    if (IsFault(r.verdict)) {
      std::cout << "  sim:";
      for (const auto& a : c.simArgs) std::cout << ' ' << a;
      std::cout << "\n  " << r.detail << std::endl;
    }
    results.push_back(std::move(r));
  }
  std::cout << '\n';
  PrintTable(results, std::cout);
  for (const auto& r : results)
    if (IsFault(r.verdict)) return 1;
  return 0;
}
