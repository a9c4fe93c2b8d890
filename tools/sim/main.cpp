#include <iostream>

#include "tools/sim/pty_simulator.h"
#include "tools/sim/sim_options.h"

int main(int argc, char** argv) {
  const auto parsed = vestrel::sim::ParseOptions(argc, argv, std::cout, std::cerr);
  if (!parsed.options) return parsed.exitCode;
  return vestrel::sim::RunSimulator(*parsed.options, std::cout, std::cerr);
}
