// What the loader shows and asks of its user, independent of any toolkit.
//
// The operation sequences, the serial link and the bootloader commands write everything the
// user sees through this interface. The Qt window implements it with widgets, the terminal
// front end with lines and a progress bar, and tests with a recorder.
#pragma once

#include <string>

namespace vestrel {

enum class Button { Open, Connect, Erase, Program, Verify, Run };
enum class ListBox { Port, Baud };

inline constexpr int kButtonCount = 6;

class LoaderView {
 public:
  virtual ~LoaderView() = default;

  virtual void SetInfoText(const std::string& text) = 0;     // information line
  virtual void SetPercentText(const std::string& text) = 0;  // e.g. "37%"
  virtual void SetProgress(int percent) = 0;                 // 0..100
  virtual int Progress() const = 0;
  virtual void SetVersionText(const std::string& text) = 0;
  virtual void SetFileText(const std::string& text) = 0;
  virtual void SetStatusPanel(int index, const std::string& text) = 0;  // panels 0..3

  // A modal error box: returns once the user has closed it. Captions are "Error" or
  // "Port Error".
  virtual void ShowMessage(const std::string& text, const std::string& caption) = 0;

  virtual void SetButtonEnabled(Button button, bool enabled) = 0;
  virtual void SetListEnabled(ListBox list, bool enabled) = 0;

  // The port list: entries "Com1", "Com3", ...; selection -1 means none.
  virtual void AddPortEntry(const std::string& text) = 0;
  virtual int PortEntryCount() const = 0;
  virtual std::string PortEntry(int index) const = 0;
  virtual int SelectedPortIndex() const = 0;
  virtual void SelectPortIndex(int index) = 0;

  // The baud list holds the eight rates "1200" .. "115200"; selection -1 means none.
  virtual int SelectedBaudIndex() const = 0;
  virtual void SelectBaudIndex(int index) = 0;

  virtual void ProcessMessages() = 0;          // let queued window messages run once
  virtual void Pause(unsigned milliseconds) = 0;  // a fixed pause of the sequences
};

}  // namespace vestrel
