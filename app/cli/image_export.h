// vestrel-cli --image-out: the program memory image of a HEX or ELF file, built as the loader
// builds it.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

#include "app/load_result.h"

namespace vestrel::cli {

using app::kExitFailure;
using app::kExitOk;
using app::kExitUsage;

// The program flash window spans 16 MiB; no image can be larger.
inline constexpr std::uint32_t kMaxFlashSize = 0x1000000;

struct ImageExportOptions {
  std::string hexFile;
  std::uint32_t flashSize = 0;
  std::string outFile;
};

// A flash size as the user writes it: decimal or 0x-hex digits only, 1 byte to 16 MiB.
std::optional<std::uint32_t> ParseFlashSize(std::string_view text);

// Reads and tests the HEX or ELF file, builds the image of flashSize bytes and writes it raw to
// outFile; prints the used length on `out`, failures on `err`. Returns the exit code.
int ExportImage(const ImageExportOptions& options, std::ostream& out, std::ostream& err);

}  // namespace vestrel::cli
