#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/record_file.h"

namespace vestrel::platform {
namespace {

// The file, open for one access: a regular file that nobody else holds locked.
class RecordFile {
 public:
  RecordFile(const std::string& name, int createFlag) {
    fd_ = ::open(name.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | createFlag, 0666);
    if (fd_ < 0) return;
    struct stat st {};
    if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode) || ::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  RecordFile(const RecordFile&) = delete;
  RecordFile& operator=(const RecordFile&) = delete;
  ~RecordFile() {
    if (fd_ >= 0) ::close(fd_);
  }

  bool IsOpen() const { return fd_ >= 0; }

  // Reads from offset 0 until `bytes` is full, the file ends or a read fails; gives the count.
  std::size_t ReadStart(std::span<std::uint8_t> bytes) const {
    std::size_t got = 0;
    while (got < bytes.size()) {
      const ssize_t n =
          ::pread(fd_, bytes.data() + got, bytes.size() - got, static_cast<off_t>(got));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
    }
    return got;
  }

  // Writes `bytes` at offset 0 and closes the file; false when any of it failed.
  bool WriteStartAndClose(std::span<const std::uint8_t> bytes) {
    std::size_t put = 0;
    while (put < bytes.size()) {
      const ssize_t n =
          ::pwrite(fd_, bytes.data() + put, bytes.size() - put, static_cast<off_t>(put));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      put += static_cast<std::size_t>(n);
    }
    const bool closed = ::close(fd_) == 0;
    fd_ = -1;
    return put == bytes.size() && closed;
  }

 private:
  int fd_ = -1;
};

}  // namespace

std::optional<std::size_t> ReadRecordFile(const std::string& name, std::span<std::uint8_t> bytes) {
  RecordFile file(name, 0);
  if (!file.IsOpen()) return std::nullopt;
  return file.ReadStart(bytes);
}

bool WriteRecordFile(const std::string& name, std::span<const std::uint8_t> bytes) {
  RecordFile file(name, O_CREAT);
  return file.IsOpen() && file.WriteStartAndClose(bytes);
}

}  // namespace vestrel::platform
