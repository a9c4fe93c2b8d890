// Files that must survive a crash or a power cut: a small state file replaced as a whole, and a
// log that grows a row at a time, each row on the disk before the caller goes on. The log is
// also the lock that keeps a second program off both.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vestrel::platform {

// Writes `text` to a temporary file beside `path`, flushes it to the disk and renames it over
// `path` (then flushes the folder), so `path` holds the old text or the new one whatever
// happens. "" on success, else why.
std::string ReplaceFileDurably(const std::string& path, std::string_view text);

// A file opened for appending, created if missing, held exclusively: a second opener, in this
// process or another, is refused. Readers that take no lock (an editor, `tail -f`) still read it.
class AppendFile {
 public:
  AppendFile() = default;
  ~AppendFile();
  AppendFile(const AppendFile&) = delete;
  AppendFile& operator=(const AppendFile&) = delete;

  // "" on success, else why ("... is held by another program" when it is locked).
  std::string Open(const std::string& path);
  // The file's size when it was opened.
  std::uint64_t SizeAtOpen() const { return sizeAtOpen_; }
  // Writes `text` at the end and flushes it to the disk. On a failure (a full disk) the file is
  // cut back to where it ended before, so that no half row stays; "" or why.
  std::string Append(std::string_view text);

 private:
  std::string path_;
  std::intptr_t handle_ = -1;
  std::uint64_t sizeAtOpen_ = 0;
};

}  // namespace vestrel::platform
