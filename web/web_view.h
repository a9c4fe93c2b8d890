// The loader's view in the browser: every call goes to the page's script (vestrel.js), which
// shows it with HTML elements. The error box, the pauses and "let queued messages run" wait for
// the page without blocking it: the core is suspended (Asyncify) until the user has closed the
// box or the time has passed, and the page's event loop runs meanwhile.
#pragma once

#include <string>
#include <vector>

#include "protocol/loader_view.h"

namespace vestrel::web {

class WebView final : public LoaderView {
 public:
  void SetInfoText(const std::string& text) override;
  void SetPercentText(const std::string& text) override;
  void SetProgress(int percent) override;
  int Progress() const override { return progress_; }
  void SetVersionText(const std::string& text) override;
  void SetFileText(const std::string& text) override;
  void SetStatusPanel(int index, const std::string& text) override;
  void ShowMessage(const std::string& text, const std::string& caption) override;
  void SetButtonEnabled(Button button, bool enabled) override;
  void SetListEnabled(ListBox list, bool enabled) override;

  // The page lists the ports the user has granted it and hands the chosen one to the loader
  // directly (Loader::OverridePort); these "Com" entries are only the loader's bookkeeping.
  void AddPortEntry(const std::string& text) override { ports_.push_back(text); }
  int PortEntryCount() const override { return static_cast<int>(ports_.size()); }
  std::string PortEntry(int index) const override;
  int SelectedPortIndex() const override { return selectedPort_; }
  void SelectPortIndex(int index) override { selectedPort_ = index; }

  // The page's baud list: the eight rates and, after them, a free rate.
  int SelectedBaudIndex() const override;
  void SelectBaudIndex(int index) override;

  void ProcessMessages() override;
  void Pause(unsigned milliseconds) override;

 private:
  int progress_ = 0;
  std::vector<std::string> ports_;
  int selectedPort_ = -1;
};

}  // namespace vestrel::web
