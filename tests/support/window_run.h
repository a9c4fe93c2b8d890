// One run of the loader's window that the tests of both windows replay against the same fake
// bootloader: the Qt window's (Linux, offscreen) and the Win32 window's (under Wine). After every
// step each test writes what its window shows, control by control, in the format below, and
// compares the whole run with window_run.txt; so both windows show the same texts and states for
// the same run.
#pragma once

#include <array>
#include <cstdint>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "protocol/loader_view.h"
#include "tests/support/fake_bootloader.h"
#include "tests/support/hex_text.h"

namespace vestrel::test::window_run {

inline constexpr std::uint32_t kFlashSize = 4096;  // eight blocks: percent steps of 12, 25, ...

// The HEX file's data, from the first byte of program flash; the window gets the file with -f.
inline Bytes Data() {
  return Pattern(kFlashSize, 5);
}

// Both windows find COM1, COM3 and COM4 usable: the Qt window's test makes them in a port
// directory, scripts/test-windows links them to simulators for the Win32 window's.

// A step: the button clicked, after `prepare` has set up the fake bootloader. The run starts
// with the window's activation, which loads the file named by -f.
struct Step {
  const char* name;
  Button button;
  std::function<void(FakeBootloader&)> prepare;
};

inline const std::vector<Step>& Steps() {
  static const std::vector<Step> steps = {
      {"Connect, no answer to the sync", Button::Connect,
       [](FakeBootloader& fake) { fake.syncAnswers = false; }},
      {"Connect", Button::Connect, [](FakeBootloader& fake) { fake.syncAnswers = true; }},
      {"Erase", Button::Erase, nullptr},
      {"Program, the second block read back wrong once, the closing report answered with E",
       Button::Program,
       [](FakeBootloader& fake) {
         fake.wrongReadBacks[kVirtualBase + 0x200] = 1;
         fake.finishStatus = 0x0045;
       }},
      {"Verify, the third block read wrong once", Button::Verify,
       [](FakeBootloader& fake) { fake.wrongReadBacks[kVirtualBase + 0x400] = 1; }},
      {"Run", Button::Run, nullptr},
  };
  return steps;
}

struct ShownList {
  bool enabled = false;
  std::vector<std::string> entries;
  std::string text;  // what the list's field shows
};

// What a window shows; each test reads it from its controls.
struct Shown {
  std::string caption;
  std::array<bool, kButtonCount> buttons{};  // in Button order
  std::string fileGroup;
  std::string fileText;
  std::string info;
  std::string percent;
  int progress = 0;
  ShownList ports;
  ShownList bauds;
  std::string version;
  std::array<std::string, 4> panels;
  std::vector<std::string> boxes;  // "caption: text" of the boxes shown during the step
};

// The lines of one snapshot. The file text names the HEX file by its role, since its folder
// differs from one system to the other.
inline std::string Snapshot(const std::string& step, const Shown& shown,
                            const std::string& hexFile) {
  static const char* const kButtons[] = {"OpenFileSpeedButton", "ConnectSpeedButton",
                                         "EraseSpeedButton",    "ProgramSpeedButton",
                                         "VerifySpeedButton",   "RunSpeedButton"};
  auto list = [](const ShownList& l) {
    std::string text = l.enabled ? "enabled;" : "disabled;";
    for (const std::string& entry : l.entries) text += " " + entry;
    return text + "; shows " + l.text;
  };
  std::string out = "[" + step + "]\n";
  out += "caption: " + shown.caption + "\n";
  for (std::size_t i = 0; i < shown.buttons.size(); ++i) {
    out += std::string(kButtons[i]) + ": " + (shown.buttons[i] ? "enabled" : "disabled") + "\n";
  }
  out += "FileGroupBox: " + shown.fileGroup + "\n";
  out += "FileStaticText: " + (shown.fileText == hexFile ? "<HEX file>" : shown.fileText) + "\n";
  out += "InfoStaticText: " + shown.info + "\n";
  out += "ProzStaticText: " + shown.percent + "\n";
  out += "PICProgressBar: " + std::to_string(shown.progress) + "\n";
  out += "ComComboBox: " + list(shown.ports) + "\n";
  out += "BaudComboBox: " + list(shown.bauds) + "\n";
  out += "VersionStaticText: " + shown.version + "\n";
  for (std::size_t i = 0; i < shown.panels.size(); ++i) {
    out += "StatusPanel" + std::to_string(i) + ": " + shown.panels[i] + "\n";
  }
  for (const std::string& box : shown.boxes) out += "box: " + box + "\n";
  return out;
}

// The run as both windows must show it.
inline std::string Expected(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  std::erase(text, '\r');
  return text;
}

}  // namespace vestrel::test::window_run
