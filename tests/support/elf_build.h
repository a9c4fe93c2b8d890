// Linked MIPS ELF programs made by the tests from their own data with Debian's binutils for MIPS
// (binutils-mips-linux-gnu): the data as a HEX file, objcopy to an object, ld to a program whose
// sections sit at the physical addresses of the data and link at their kseg0 aliases, as a PIC32
// build places its program flash. So the ELF file and its HEX twin come from one source.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/hex_text.h"

namespace vestrel::test {

struct Region {
  std::uint32_t physical;
  Bytes bytes;
};

// The HEX twin: the regions in order, with an end-of-file record.
inline std::string RegionsHex(const std::vector<Region>& regions) {
  HexText hex;
  for (const Region& region : regions) hex.Data(region.physical, region.bytes);
  return hex.End().Text();
}

// Builds `name` in `dir` from regions given in ascending order that do not touch one another
// (objcopy makes one section of each); "" when a tool failed, with its output in `name`.log.
inline std::string BuildElf(const TempDir& dir, const std::string& name,
                            const std::vector<Region>& regions) {
  const std::string hex = dir.Write(name + ".hex", RegionsHex(regions));
  std::string script = "SECTIONS {\n";
  for (std::size_t i = 0; i < regions.size(); ++i) {
    const std::string section = ".sec" + std::to_string(i + 1);
    char placement[96];
    std::snprintf(placement, sizeof placement, " 0x%08X : AT(0x%08X)",
                  static_cast<unsigned>(regions[i].physical | 0x80000000u),
                  static_cast<unsigned>(regions[i].physical));
    script += "  " + section + placement + " { *(" + section + ") }\n";
  }
  script += "}\n";
  const std::string scriptFile = dir.Write(name + ".ld", script);
  const std::string object = dir.File(name + ".o");
  const std::string elf = dir.File(name);
  const std::string log = dir.File(name + ".log");
  const std::string command = "mips-linux-gnu-objcopy -I ihex -O elf32-tradlittlemips '" + hex +
                              "' '" + object + "' >'" + log +
                              "' 2>&1 && mips-linux-gnu-ld -EL -e 0 -T '" + scriptFile + "' -o '" +
                              elf + "' '" + object + "' >>'" + log + "' 2>&1";
  return std::system(command.c_str()) == 0 ? elf : std::string();
}

}  // namespace vestrel::test
