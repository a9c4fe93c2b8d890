// A LoaderView that records what the link shows.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "protocol/loader_view.h"

namespace vestrel::testing_support {

class RecordingView : public LoaderView {
 public:
  struct Message {
    std::string text;
    std::string caption;
  };

  std::string info;
  std::vector<Message> messages;

  void SetInfoText(const std::string& text) override { info = text; }
  void SetPercentText(const std::string&) override {}
  void SetProgress(int percent) override { progress_ = percent; }
  int Progress() const override { return progress_; }
  void SetVersionText(const std::string&) override {}
  void SetFileText(const std::string&) override {}
  void SetStatusPanel(int, const std::string&) override {}
  void ShowMessage(const std::string& text, const std::string& caption) override {
    messages.push_back({text, caption});
  }
  void SetButtonEnabled(Button, bool) override {}
  void SetListEnabled(ListBox, bool) override {}
  void AddPortEntry(const std::string&) override {}
  int PortEntryCount() const override { return 0; }
  std::string PortEntry(int) const override { return {}; }
  int SelectedPortIndex() const override { return -1; }
  void SelectPortIndex(int) override {}
  int SelectedBaudIndex() const override { return -1; }
  void SelectBaudIndex(int) override {}
  void ProcessMessages() override {}
  void Pause(unsigned) override {}

 private:
  int progress_ = 0;
};

}  // namespace vestrel::testing_support
