// A change notification on the folder: it says that something in the folder changed, not
// what; the caller compares the file to tell.
#include <windows.h>

#include <filesystem>
#include <system_error>

#include "platform/file_watch.h"

namespace vestrel::platform {
namespace {

std::string LastErrorText() {
  return std::system_category().message(static_cast<int>(::GetLastError()));
}

class NotificationWatch final : public FileWatch {
 public:
  NotificationWatch(HANDLE handle, std::string folder)
      : handle_(handle), folder_(std::move(folder)) {}
  ~NotificationWatch() override { ::FindCloseChangeNotification(handle_); }
  NotificationWatch(const NotificationWatch&) = delete;
  NotificationWatch& operator=(const NotificationWatch&) = delete;

  WatchResult Wait(std::chrono::milliseconds limit) override {
    const DWORD waited = ::WaitForSingleObject(handle_, static_cast<DWORD>(limit.count()));
    if (waited == WAIT_TIMEOUT) return WatchResult::TimedOut;
    if (waited != WAIT_OBJECT_0 || !::FindNextChangeNotification(handle_)) {
      error_ = "watching " + folder_ + " failed: " + LastErrorText();
      return WatchResult::Failed;
    }
    return WatchResult::Changed;
  }

  std::string Error() const override { return error_; }

 private:
  HANDLE handle_;
  std::string folder_;
  std::string error_;
};

}  // namespace

std::unique_ptr<FileWatch> WatchFile(const std::string& path, std::string& error) {
  const std::string folder =
      std::filesystem::absolute(std::filesystem::path(path)).parent_path().string();
  const HANDLE handle = ::FindFirstChangeNotificationA(
      folder.c_str(), FALSE,
      FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_LAST_WRITE | FILE_NOTIFY_CHANGE_SIZE);
  if (handle == INVALID_HANDLE_VALUE) {
    error = "cannot watch " + folder + ": " + LastErrorText();
    return nullptr;
  }
  return std::make_unique<NotificationWatch>(handle, folder);
}

}  // namespace vestrel::platform
