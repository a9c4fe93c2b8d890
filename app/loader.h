// The loader without its window: state, command line, button handlers, automatic run and exit
// code. The Qt window and the terminal front end drive it and show what it writes to the view.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "image/program_memory.h"
#include "protocol/boot_link.h"
#include "protocol/bootloader_commands.h"
#include "protocol/loader_view.h"

namespace vestrel::app {

// The rates of the baud list, by index; index 5 (38400) is selected when the window opens.
inline constexpr std::uint32_t kBaudRates[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
inline constexpr int kBaudRateCount = 8;
inline constexpr int kDefaultBaudIndex = 5;

// The information line when the automatic run stops because its HEX file could not be loaded.
inline constexpr const char* kFileNotLoadedText = "HEX File Error: nothing sent to the target";

// Gives the device path of port number n (1 for COM1) from the platform's port map.
using PortPathResolver = std::function<std::string(unsigned portNumber)>;

// Optional progress in bytes for front ends that show more than the percent text.
enum class Phase { Program, Verify };
class ProgressListener {
 public:
  virtual ~ProgressListener() = default;
  // After each block that Program wrote or Verify compared, right after the percent text.
  // `doneBytes` goes back by a page when Program writes a page again after a failed read-back.
  virtual void OnBlockDone(Phase phase, std::uint32_t doneBytes, std::uint32_t totalBytes) = 0;
};

class Loader {
 public:
  // Both references must outlive the loader.
  Loader(LoaderView& view, protocol::BootLink& link, PortPathResolver resolvePortPath);
  // Closes the port if it is open.
  ~Loader();
  Loader(const Loader&) = delete;
  Loader& operator=(const Loader&) = delete;

  // --- start-up, called by the front end in this order ---

  // Applies the options, one per argument (without the program name): the second character
  // is the lower-case letter; `f` takes the rest of the argument as the file name; `c` and `b`
  // take one digit (anything else there is rejected: no port or baud entry will match).
  void ReadCommandLine(std::span<const std::string> args);
  // Puts "Com" + (index + 1) for each usable zero-based port index into the port list and
  // selects the first entry.
  void FillPortList(std::span<const unsigned> usablePortIndexes);

  // Connect uses this rate instead of the baud list's (any rate the device accepts).
  void OverrideBaudRate(std::optional<std::uint32_t> baudRate) { baudOverride_ = baudRate; }
  // Connect opens this port instead of the port list's selection.
  void OverridePort(std::optional<protocol::PortTarget> port) { portOverride_ = std::move(port); }
  void SetProgressListener(ProgressListener* listener) { listener_ = listener; }
  // The fast load, off by default (the window never turns it on): once an erase has succeeded,
  // Program neither writes nor reads back blocks of the image that are entirely 0xFF, and the
  // verify pass leaves them out too; the erase is trusted to have left them blank. Without a
  // successful erase every block is written and verified as usual.
  void SetSkipBlankBlocks(bool skip) { skipBlankBlocks_ = skip; }
  // Asked before every request to the bootloader: a non-empty answer (why) gives the link up,
  // so that the running step ends at once and the later ones send nothing.
  void SetStopCheck(std::function<std::string()> check) {
    commands_.SetStopCheck(std::move(check));
  }

  // --- handlers ---

  // The chosen file's full path, or nullopt when the user cancelled the file dialog.
  void OpenFileSpeedButtonClick(const std::optional<std::string>& chosenPath);
  void ConnectSpeedButtonClick();
  void EraseSpeedButtonClick();
  void ProgramSpeedButtonClick();
  void VerifySpeedButtonClick();
  void RunSpeedButtonClick();

  void LoadHexFile(const std::string& fileName);
  // Takes lines that the front end has read with image::ReadHexFile already, as LoadHexFile
  // does after a successful read (the gang load reads its file once for every board).
  void UseHexLines(const std::string& fileName, std::vector<std::string> hexLines);
  void DisableButtons();
  void EnableButtons();

  // The automatic run, steps 1 to 8. Returns true when the window is to close now (`t` or
  // `a`); the front end then closes it and calls FormClose. When the file named by `f` cannot be
  // loaded, or the connect that `c` and `b` ask for fails, the steps that talk to the target are
  // not run; after a failed program step the application is not started.
  bool FormActivate();
  // Computes ExitStatus by the window's two exit-code rules and returns it.
  int FormClose();
  // The terminal front end's rule: 1 when any step that the command line asked for failed, the
  // file load and the connect included; 0 otherwise.
  int RequestedStepsExitStatus() const;

  // The one-click load (the web page's Load button): connect, erase, program (which verifies)
  // and start the application, each step only after the one before it succeeded, so that a
  // failure sends nothing more to the target. Without a loaded HEX file nothing is sent at all.
  // Returns true when the application was started.
  bool RunAllSteps();

  // --- state, as the window holds it (flags are 0 or 1) ---

  image::ProgramMemory Memory;  // HexLines, HexFileName, ImageBuffer, ImageSize, ImageEnd
  std::string CurrentParam;
  std::int32_t UseableCount = 0;
  std::int32_t CmdComNumber = 0;
  std::int32_t CmdBaudIndex = 0;
  std::uint8_t ConnectOk = 0;
  std::uint8_t FileOk = 0;
  std::uint8_t EraseOk = 0;
  std::uint8_t ProgramOk = 0;
  std::uint8_t VerifyOk = 0;
  std::uint8_t RunOk = 0;
  std::uint8_t CmdFile = 0;
  std::uint8_t CmdCom = 0;
  std::uint8_t CmdBaud = 0;
  std::uint8_t CmdAll = 0;
  std::uint8_t CmdErase = 0;
  std::uint8_t CmdProgram = 0;
  std::uint8_t CmdVerify = 0;
  std::uint8_t CmdRun = 0;
  std::uint8_t CmdTerminate = 0;

  std::int32_t ExitStatus = 0;
  std::int32_t RetryCount = 0;

 private:
  void ApplyOption(const std::string& arg);
  std::optional<protocol::PortTarget> SelectedPort() const;
  std::optional<std::uint32_t> SelectedBaudRate() const;
  void SelectPortEntry(const std::string& text);
  void EnableStepButtons();
  bool BuildWalkableImage(const std::string& failureText);
  void ShowError(const std::string& text);
  void ShowProgress(Phase phase, std::uint32_t total, std::uint32_t remaining);
  std::span<const std::uint8_t> BlockAt(std::uint32_t address) const;
  bool SkipsBlock(std::uint32_t address) const;
  bool WriteImage();
  bool ReadBackPage(std::uint32_t pageAddress);
  bool LinkLost() const;
  void ReportFinish(int result);
  void RunAfterAutomaticSteps();

  LoaderView& view_;
  protocol::BootLink& link_;
  PortPathResolver resolvePortPath_;
  protocol::BootloaderCommands commands_;
  std::vector<unsigned> usablePorts_;  // zero-based port index of each port list entry
  std::optional<std::uint32_t> baudOverride_;
  std::optional<protocol::PortTarget> portOverride_;
  ProgressListener* listener_ = nullptr;
  bool skipBlankBlocks_ = false;
};

}  // namespace vestrel::app
