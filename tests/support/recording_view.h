// A LoaderView that records what the user would see, in order, and never waits.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "protocol/loader_view.h"

namespace vestrel::test {

class RecordingView : public LoaderView {
 public:
  struct Message {
    std::string text;
    std::string caption;
  };

  // Every visible change in order, as "info:Verifying...", "percent:12%", "box:Error:...".
  std::vector<std::string> events;
  std::vector<std::string> infos;
  std::vector<std::string> percents;
  std::vector<int> progressHistory;
  std::vector<Message> messages;
  std::map<int, std::string> panels;
  std::vector<unsigned> pauses;
  std::string versionText = "Bootloader Version";
  std::string fileText;
  int progress = 0;
  int processed = 0;

  // The window as it is first shown: open and connect enabled, the rest disabled.
  std::map<Button, bool> buttons = {{Button::Open, true},    {Button::Connect, true},
                                    {Button::Erase, false},  {Button::Program, false},
                                    {Button::Verify, false}, {Button::Run, false}};
  std::map<ListBox, bool> lists = {{ListBox::Port, true}, {ListBox::Baud, true}};
  std::vector<std::string> portEntries;
  int portIndex = -1;
  int baudIndex = 5;  // "38400"

  std::string Info() const { return infos.empty() ? std::string() : infos.back(); }
  // The first line of each box text.
  std::vector<std::string> MessageHeads() const {
    std::vector<std::string> heads;
    for (const auto& m : messages) heads.push_back(m.text.substr(0, m.text.find('\n')));
    return heads;
  }
  bool AllButtons(bool enabled) const {
    for (const auto& [button, state] : buttons) {
      if (state != enabled) return false;
    }
    return true;
  }

  void SetInfoText(const std::string& text) override {
    infos.push_back(text);
    events.push_back("info:" + text);
  }
  void SetPercentText(const std::string& text) override {
    percents.push_back(text);
    events.push_back("percent:" + text);
  }
  void SetProgress(int percent) override {
    progress = percent;
    progressHistory.push_back(percent);
  }
  int Progress() const override { return progress; }
  void SetVersionText(const std::string& text) override { versionText = text; }
  void SetFileText(const std::string& text) override { fileText = text; }
  void SetStatusPanel(int index, const std::string& text) override { panels[index] = text; }
  void ShowMessage(const std::string& text, const std::string& caption) override {
    messages.push_back({text, caption});
    events.push_back("box:" + caption + ":" + text);
  }
  void SetButtonEnabled(Button button, bool enabled) override { buttons[button] = enabled; }
  void SetListEnabled(ListBox list, bool enabled) override { lists[list] = enabled; }
  void AddPortEntry(const std::string& text) override { portEntries.push_back(text); }
  int PortEntryCount() const override { return static_cast<int>(portEntries.size()); }
  std::string PortEntry(int index) const override {
    return portEntries.at(static_cast<std::size_t>(index));
  }
  int SelectedPortIndex() const override { return portIndex; }
  void SelectPortIndex(int index) override {
    portIndex = index >= 0 && index < PortEntryCount() ? index : -1;
  }
  int SelectedBaudIndex() const override { return baudIndex; }
  void SelectBaudIndex(int index) override { baudIndex = index >= 0 && index < 8 ? index : -1; }
  void ProcessMessages() override { ++processed; }
  void Pause(unsigned milliseconds) override { pauses.push_back(milliseconds); }
};

}  // namespace vestrel::test
