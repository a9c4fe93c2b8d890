#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "platform/durable_file.h"

namespace vestrel::platform {
namespace {

std::string Why(const std::string& what, int error) {
  return what + ": " + std::strerror(error);
}

// Writes all of `text`; false with errno set at the first failure.
bool WriteAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = ENOSPC;
      return false;
    }
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

std::string FlushFolder(const std::string& path) {
  std::string folder = std::filesystem::path(path).parent_path().string();
  if (folder.empty()) folder = ".";
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return Why("cannot open the folder " + folder, errno);
  const bool synced = ::fsync(fd) == 0 || errno == EINVAL;  // some file systems cannot
  const int error = errno;
  ::close(fd);
  return synced ? std::string() : Why("cannot flush the folder " + folder, error);
}

}  // namespace

std::string ReplaceFileDurably(const std::string& path, std::string_view text) {
  const std::string temporary = path + ".tmp";
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return Why("cannot create " + temporary, errno);
  if (!WriteAll(fd, text) || ::fsync(fd) != 0) {
    const int error = errno;
    ::close(fd);
    ::unlink(temporary.c_str());
    return Why("cannot write " + temporary, error);
  }
  if (::close(fd) != 0) return Why("cannot write " + temporary, errno);
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    const int error = errno;
    ::unlink(temporary.c_str());
    return Why("cannot replace " + path, error);
  }
  return FlushFolder(path);
}

AppendFile::~AppendFile() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
}

std::string AppendFile::Open(const std::string& path) {
  path_ = path;
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644);
  if (fd < 0) return Why("cannot open " + path, errno);
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return path + " is not a regular file";
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    ::close(fd);
    return error == EWOULDBLOCK ? path + " is held by another program (another station?)"
                                : Why("cannot lock " + path, error);
  }
  handle_ = fd;
  sizeAtOpen_ = static_cast<std::uint64_t>(st.st_size);
  return FlushFolder(path);  // a file just created must stay after a power cut
}

std::string AppendFile::Append(std::string_view text) {
  const int fd = static_cast<int>(handle_);
  if (fd < 0) return path_ + " is not open";
  const off_t before = ::lseek(fd, 0, SEEK_END);
  if (WriteAll(fd, text) && ::fsync(fd) == 0) return {};
  const int error = errno;
  if (before >= 0 && ::ftruncate(fd, before) == 0) ::fsync(fd);
  return Why("cannot write " + path_, error);
}

}  // namespace vestrel::platform
