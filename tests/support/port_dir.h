// A temporary port directory selected through VESTREL_PORT_DIR for the life of the object.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <optional>
#include <string>

namespace vestrel::testing_support {

class PortDir {
 public:
  PortDir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "vestrel-ports-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
    if (const char* old = std::getenv("VESTREL_PORT_DIR")) old_ = old;
    ::setenv("VESTREL_PORT_DIR", path_.c_str(), 1);
  }
  ~PortDir() {
    if (old_)
      ::setenv("VESTREL_PORT_DIR", old_->c_str(), 1);
    else
      ::unsetenv("VESTREL_PORT_DIR");
    std::filesystem::remove_all(path_);
  }
  PortDir(const PortDir&) = delete;
  PortDir& operator=(const PortDir&) = delete;

  std::filesystem::path Entry(unsigned number) const {
    return path_ / ("com" + std::to_string(number));
  }
  void Link(unsigned number, const std::string& target) const {
    std::filesystem::create_symlink(target, Entry(number));
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
  std::optional<std::string> old_;
};

}  // namespace vestrel::testing_support
