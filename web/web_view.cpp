#include "web/web_view.h"

#include <emscripten.h>

#include <algorithm>

// The page's side of each call is Module.page.view in vestrel.js.

EM_JS(void, vestrel_view_text, (const char* what, const char* text),
      { Module.page.view.setText(UTF8ToString(what), UTF8ToString(text)); });
EM_JS(void, vestrel_view_progress, (int percent), { Module.page.view.setProgress(percent); });
EM_JS(void, vestrel_view_panel, (int index, const char* text),
      { Module.page.view.setStatusPanel(index, UTF8ToString(text)); });
EM_ASYNC_JS(void, vestrel_view_message, (const char* text, const char* caption),
            { await Module.page.view.showMessage(UTF8ToString(text), UTF8ToString(caption)); });
EM_JS(void, vestrel_view_button, (int button, int enabled),
      { Module.page.view.setButtonEnabled(button, enabled != 0); });
EM_JS(void, vestrel_view_list, (int list, int enabled),
      { Module.page.view.setListEnabled(list, enabled != 0); });
EM_JS(int, vestrel_view_baud_index, (), { return Module.page.view.selectedBaudIndex(); });
EM_JS(void, vestrel_view_select_baud, (int index), { Module.page.view.selectBaudIndex(index); });
EM_JS(int, vestrel_view_needs_turn, (), { return Module.page.view.needsTurn() ? 1 : 0; });
EM_ASYNC_JS(void, vestrel_view_yield, (), { await Module.page.view.processMessages(); });
EM_ASYNC_JS(void, vestrel_view_pause, (unsigned milliseconds),
            { await Module.page.view.pause(milliseconds); });

namespace vestrel::web {

void WebView::SetInfoText(const std::string& text) {
  vestrel_view_text("info", text.c_str());
}

void WebView::SetPercentText(const std::string& text) {
  vestrel_view_text("percent", text.c_str());
}

void WebView::SetProgress(int percent) {
  progress_ = std::clamp(percent, 0, 100);
  vestrel_view_progress(progress_);
}

void WebView::SetVersionText(const std::string& text) {
  vestrel_view_text("version", text.c_str());
}

void WebView::SetFileText(const std::string& text) {
  vestrel_view_text("file", text.c_str());
}

void WebView::SetStatusPanel(int index, const std::string& text) {
  vestrel_view_panel(index, text.c_str());
}

void WebView::ShowMessage(const std::string& text, const std::string& caption) {
  vestrel_view_message(text.c_str(), caption.c_str());
}

void WebView::SetButtonEnabled(Button button, bool enabled) {
  vestrel_view_button(static_cast<int>(button), enabled ? 1 : 0);
}

void WebView::SetListEnabled(ListBox list, bool enabled) {
  vestrel_view_list(static_cast<int>(list), enabled ? 1 : 0);
}

std::string WebView::PortEntry(int index) const {
  if (index < 0 || index >= PortEntryCount()) return {};
  return ports_[static_cast<std::size_t>(index)];
}

int WebView::SelectedBaudIndex() const {
  return vestrel_view_baud_index();
}

void WebView::SelectBaudIndex(int index) {
  vestrel_view_select_baud(index);
}

// The core is suspended only when the page has not had a task of its own for a while.
void WebView::ProcessMessages() {
  if (vestrel_view_needs_turn() != 0) vestrel_view_yield();
}

void WebView::Pause(unsigned milliseconds) {
  vestrel_view_pause(milliseconds);
}

}  // namespace vestrel::web
