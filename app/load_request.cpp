#include "app/load_request.h"

#include <charconv>

namespace vestrel::app {
namespace {

// The digit at `position`, or -1: a non-digit must not become a port or baud number.
int DigitAt(const std::string& arg, std::size_t position) {
  if (arg.size() <= position || arg[position] < '0' || arg[position] > '9') return -1;
  return arg[position] - '0';
}

// Long options take their value after "=" in the same argument, as the letters do. The first
// refusal is the one reported.
void ApplyLongOption(const std::string& arg, WindowCommandLine& line, std::string& resetAfter,
                     bool& resetAfterGiven) {
  const std::size_t equals = arg.find('=');
  const std::string name = arg.substr(0, equals);
  const std::string value = equals == std::string::npos ? std::string() : arg.substr(equals + 1);
  std::string error;
  if (name == "--wait") {
    unsigned seconds = 0;
    const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), seconds);
    if (ec != std::errc() || end != value.data() + value.size() || seconds == 0 ||
        seconds > kMaxWaitSeconds) {
      error = "--wait=SECONDS takes 1 to " + std::to_string(kMaxWaitSeconds) + " seconds, not \"" +
              value + "\"";
    } else {
      line.request.waitSeconds = seconds;
    }
  } else if (name == "--reset") {
    line.request.reset = protocol::ParseResetSequence(value, error);
    if (!line.request.reset) error = "--reset: " + error;
  } else if (name == "--reset-after") {
    resetAfterGiven = true;
    resetAfter = value;
  }
  if (line.error.empty()) line.error = error;
}

void ApplyLetter(const std::string& arg, LoadRequest& request) {
  switch (arg[1]) {
    case 'a':
      request.all = request.erase = request.program = request.verify = request.run =
          request.terminate = true;
      break;
    case 'b':
      request.baudIndex = DigitAt(arg, 2);
      break;
    case 'c':
      request.comNumber = DigitAt(arg, 2);
      break;
    case 'e':
      request.erase = true;
      break;
    case 'f':
      request.file = arg.substr(2);
      break;
    case 'p':
      request.program = true;
      break;
    case 'r':
      request.run = true;
      break;
    case 't':
      request.terminate = true;
      break;
    case 'v':
      request.verify = true;
      break;
    default:
      break;  // anything else counts for nothing
  }
}

}  // namespace

std::optional<std::uint32_t> LoadRequest::Rate() const {
  if (baudRate) return baudRate;
  if (baudIndex && *baudIndex >= 0 && *baudIndex < kBaudRateCount) return kBaudRates[*baudIndex];
  return std::nullopt;
}

WindowCommandLine ParseWindowCommandLine(std::span<const std::string> args) {
  WindowCommandLine line;
  std::string resetAfter;
  bool resetAfterGiven = false;
  for (const std::string& CurrentParam : args) {
    if (CurrentParam.size() < 2) continue;
    if (CurrentParam.rfind("--", 0) == 0)
      ApplyLongOption(CurrentParam, line, resetAfter, resetAfterGiven);
    else
      ApplyLetter(CurrentParam, line.request);
  }
  // The reset after the load may name the pulse of the --reset sequence, wherever that stands.
  if (resetAfterGiven && line.error.empty()) {
    std::string error;
    line.request.resetAfter = protocol::ParseResetAfter(resetAfter, line.request.reset, error);
    if (!line.request.resetAfter) line.error = "--reset-after: " + error;
  }
  return line;
}

}  // namespace vestrel::app
