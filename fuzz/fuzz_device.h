// In-memory stand-ins for the fuzz targets: a view that shows nothing and a serial device that
// delivers the fuzz input one read at a time.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/serial_device.h"
#include "protocol/loader_view.h"

namespace vestrel::fuzz {

class NullView : public LoaderView {
 public:
  void SetInfoText(const std::string&) override {}
  void SetPercentText(const std::string&) override {}
  void SetProgress(int percent) override { progress_ = percent; }
  int Progress() const override { return progress_; }
  void SetVersionText(const std::string&) override {}
  void SetFileText(const std::string&) override {}
  void SetStatusPanel(int, const std::string&) override {}
  void ShowMessage(const std::string&, const std::string&) override { ++messages; }
  void SetButtonEnabled(Button, bool) override {}
  void SetListEnabled(ListBox, bool) override {}
  void AddPortEntry(const std::string& text) override { ports_.push_back(text); }
  int PortEntryCount() const override { return static_cast<int>(ports_.size()); }
  std::string PortEntry(int index) const override {
    return ports_.at(static_cast<std::size_t>(index));
  }
  int SelectedPortIndex() const override { return port_; }
  void SelectPortIndex(int index) override { port_ = index; }
  int SelectedBaudIndex() const override { return baud_; }
  void SelectBaudIndex(int index) override { baud_ = index; }
  void ProcessMessages() override {}
  void Pause(unsigned) override {}

  int messages = 0;

 private:
  int progress_ = 0;
  std::vector<std::string> ports_;
  int port_ = -1;
  int baud_ = 5;
};

// What the far end sends is `input`; once it is used up every read times out, or reports a
// hang-up when `goneAtEnd`. Reads and writes are counted for the bounds the link promises.
struct ByteFeed {
  std::vector<std::uint8_t> input;
  std::size_t position = 0;
  bool goneAtEnd = false;
  std::size_t reads = 0;
  std::vector<std::uint8_t> written;
};

class FeedDevice : public platform::SerialDevice {
 public:
  explicit FeedDevice(ByteFeed& feed) : feed_(feed) {}

  const std::string& Path() const override { return path_; }
  platform::SerialResult SetupComm(std::uint32_t, std::uint32_t) override { return {}; }
  platform::SerialResult Purge(std::uint32_t) override { return {}; }
  platform::SerialResult GetCommState(platform::DCB&) override { return {}; }
  platform::SerialResult SetCommState(const platform::DCB&) override { return {}; }
  platform::SerialResult GetCommTimeouts(platform::COMMTIMEOUTS&) override { return {}; }
  platform::SerialResult SetCommTimeouts(const platform::COMMTIMEOUTS&) override { return {}; }
  platform::SerialResult SetDtr(bool) override { return {}; }
  platform::SerialResult SetRts(bool) override { return {}; }
  platform::SerialResult Read(std::span<std::uint8_t> buffer) override {
    ++feed_.reads;
    if (feed_.position == feed_.input.size()) {
      if (feed_.goneAtEnd) return {platform::SerialStatus::Gone, 0, 5, "Input/output error"};
      return {};  // the 100 ms passed without a byte
    }
    // One byte per read, as a slow line delivers them: the bytes the link took off the line are
    // then exactly the bytes it examined, which the checks compare with a model decoder.
    if (buffer.empty()) return {};
    buffer[0] = feed_.input[feed_.position++];
    return {platform::SerialStatus::Ok, 1, 0, {}};
  }
  platform::SerialResult Write(std::span<const std::uint8_t> data) override {
    feed_.written.insert(feed_.written.end(), data.begin(), data.end());
    return {platform::SerialStatus::Ok, data.size(), 0, {}};
  }
  platform::SerialResult Drain(std::chrono::milliseconds) override { return {}; }
  platform::SerialResult WaitReadable(std::chrono::milliseconds) override {
    if (feed_.position < feed_.input.size()) return {};
    return {platform::SerialStatus::TimedOut, 0, 0, {}};
  }
  platform::SerialResult GetLineErrorCounters(platform::LineErrorCounters&) override { return {}; }
  platform::SerialResult ClearBreak() override { return {}; }

 private:
  ByteFeed& feed_;
  std::string path_ = "/dev/fuzz";
};

}  // namespace vestrel::fuzz
