#include "app/cli/image_export.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <fstream>
#include <system_error>

#include "image/program_memory.h"

namespace vestrel::cli {
namespace {

bool WriteFile(const std::string& path, const std::uint8_t* data, std::size_t size,
               std::string& reason) {
  errno = 0;
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  if (file) {
    file.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    file.close();
  }
  if (file) return true;
  reason = errno != 0 ? std::error_code(errno, std::generic_category()).message() : "write failed";
  return false;
}

std::string UsedLengthText(std::uint32_t imageEnd) {
  const std::uint32_t used = imageEnd == 0 ? 0 : imageEnd - image::kFlashBase;
  char text[64];
  std::snprintf(text, sizeof text, "Used length: 0x%08X (%u bytes)", used, used);
  return text;
}

}  // namespace

std::optional<std::uint32_t> ParseFlashSize(std::string_view text) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
    base = 16;
  }
  std::uint32_t value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value, base);
  if (text.empty() || ec != std::errc() || ptr != end) return std::nullopt;
  if (value == 0 || value > kMaxFlashSize) return std::nullopt;
  return value;
}

int ExportImage(const ImageExportOptions& options, std::ostream& out, std::ostream& err) {
  image::ProgramMemory memory;
  memory.HexFileName = options.hexFile;
  image::HexError error;
  image::FileFormat format = image::FileFormat::Hex;
  if (!image::ReadFirmwareFile(memory.HexFileName, memory.HexLines, &error, &format,
                               &memory.LineSources)) {
    err << (format == image::FileFormat::Elf ? "ELF" : "HEX") << " File Error: " << error.reason
        << '\n';
    return kExitFailure;
  }

  memory.ImageSize = options.flashSize;
  memory.ImageBuffer = std::make_unique_for_overwrite<std::uint8_t[]>(memory.ImageSize);
  if (!image::BuildImage(memory, &error)) {
    err << "Create Program Memory: " << error.reason << '\n';
    return kExitFailure;
  }

  std::string reason;
  if (!WriteFile(options.outFile, memory.ImageBuffer.get(), memory.ImageSize, reason)) {
    err << "cannot write " << options.outFile << ": " << reason << '\n';
    return kExitFailure;
  }
  out << UsedLengthText(memory.ImageEnd) << '\n';
  return kExitOk;
}

}  // namespace vestrel::cli
