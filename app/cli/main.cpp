// vestrel-cli: the terminal front end. Parses the command line and hands over to an action.
#include <CLI/CLI.hpp>
#include <iostream>
#include <string>

#include "app/cli/image_export.h"

namespace {

constexpr const char* kUsage =
    "Usage: vestrel-cli -f FILE --flash-size SIZE --image-out OUT\n"
    "Run 'vestrel-cli --help' for all options.\n";

int UsageError(const std::string& message) {
  std::cerr << "vestrel-cli: " << message << '\n' << kUsage;
  return vestrel::cli::kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace vestrel::cli;

  CLI::App app{"Vestrel loads firmware into a PIC32 through its serial bootloader.", "vestrel-cli"};
  app.set_version_flag("--version", VESTREL_VERSION);

  std::string hexFile;
  std::string flashSizeText;
  std::string imageOut;
  CLI::Option* fileOption = app.add_option("-f,--file", hexFile, "Intel HEX file to load");
  fileOption->type_name("FILE");
  CLI::Option* sizeOption =
      app.add_option("--flash-size", flashSizeText,
                     "program flash size in bytes for --image-out, decimal or 0x-hex");
  sizeOption->type_name("SIZE")->check(CLI::Validator(
      [](const std::string& text) {
        return ParseFlashSize(text) ? std::string() : "not a flash size from 1 byte to 16 MiB";
      },
      ""));
  CLI::Option* outOption = app.add_option(
      "--image-out", imageOut,
      "write the program memory image of FILE to OUT as raw bytes, without a target");
  outOption->type_name("OUT")->needs(fileOption)->needs(sizeOption);
  sizeOption->needs(outOption);

  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& e) {
    return app.exit(e);  // --help, --version
  } catch (const CLI::ParseError& e) {
    return UsageError(e.what());
  }

  if (*outOption) {
    return ExportImage({hexFile, *ParseFlashSize(flashSizeText), imageOut}, std::cout, std::cerr);
  }
  return UsageError("nothing to do: give --image-out");
}
