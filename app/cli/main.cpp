// vestrel-cli: the terminal front end. Parses the command line and hands over to an action.
#include <unistd.h>

#include <cstdlib>
#include <iostream>

#include "app/cli/cli_options.h"
#include "app/cli/image_export.h"
#include "app/cli/list_ports.h"
#include "app/cli/load_command.h"

int main(int argc, char** argv) {
  using namespace vestrel::cli;
  CliCommand command = ParseCommandLine(argc, argv);
  switch (command.action) {
    case CliAction::Exit:
      std::cout << command.out;
      std::cerr << command.err;
      return command.exitCode;
    case CliAction::ListPorts:
      return vestrel::app::ListPorts(std::cout);
    case CliAction::ExportImage:
      return ExportImage(command.image, std::cout, std::cerr);
    case CliAction::Load:
      break;
  }
  TerminalOptions& terminal = command.load.terminal;
  terminal.outIsTerminal = isatty(STDOUT_FILENO) == 1;
  terminal.color = isatty(STDERR_FILENO) == 1 && std::getenv("NO_COLOR") == nullptr;
  return RunLoad(command.load, std::cout, std::cerr);
}
