// vestrel-cli doctor [PORT]: says what stands between this user and a working port, each
// finding with its fix as a command (app/doctor.h).
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "app/doctor.h"

namespace vestrel::cli {

struct DoctorOptions {
  std::optional<std::string> port;    // a path, or COMn of the port map
  std::optional<std::uint32_t> baud;  // --baud: also ask for the bootloader
};

// The findings as lines: "PROBLEM ..." or "note ...", each fix indented below it.
std::string FindingsText(const std::vector<app::Finding>& findings);

// Exit code 0 when no finding is a problem, 1 otherwise.
int RunDoctor(const DoctorOptions& options, std::ostream& out);

}  // namespace vestrel::cli
