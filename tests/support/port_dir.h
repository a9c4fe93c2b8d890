// A temporary port directory selected through VESTREL_PORT_DIR for the life of the object.
// Windows builds name their ports \\.\COMn and ignore the variable; there the directory only
// gives a test a place for its files.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <optional>
#include <string>

#include "tests/support/hex_text.h"

namespace vestrel::testing_support {

// Sets the variable `name` to `value`, or removes it when there is none.
inline void SetEnvironment(const char* name, const std::optional<std::string>& value) {
#ifdef _WIN32
  ::_putenv_s(name, value ? value->c_str() : "");  // an empty value removes the variable
#else
  if (value)
    ::setenv(name, value->c_str(), 1);
  else
    ::unsetenv(name);
#endif
}

class PortDir {
 public:
  PortDir() {
    if (const char* old = std::getenv("VESTREL_PORT_DIR")) old_ = old;
    SetEnvironment("VESTREL_PORT_DIR", dir_.Path().string());
  }
  ~PortDir() { SetEnvironment("VESTREL_PORT_DIR", old_); }
  PortDir(const PortDir&) = delete;
  PortDir& operator=(const PortDir&) = delete;

  std::filesystem::path Entry(unsigned number) const {
    return path() / ("com" + std::to_string(number));
  }
  void Link(unsigned number, const std::string& target) const {
    std::filesystem::create_symlink(target, Entry(number));
  }
  const std::filesystem::path& path() const { return dir_.Path(); }

 private:
  test::TempDir dir_;
  std::optional<std::string> old_;
};

}  // namespace vestrel::testing_support
