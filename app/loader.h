// The loader without its window: state, command line, button handlers, automatic run and exit
// code. The Qt window and the terminal front end drive it and show what it writes to the view.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "app/file_stamp.h"
#include "app/load_result.h"
#include "app/window_settings.h"
#include "image/program_memory.h"
#include "protocol/boot_link.h"
#include "protocol/bootloader_commands.h"
#include "protocol/loader_view.h"
#include "protocol/reset_sequence.h"

namespace vestrel::app {

// The rates of the baud list, by index; index 5 (38400) is selected when the window opens.
inline constexpr std::uint32_t kBaudRates[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
inline constexpr int kBaudRateCount = 8;
inline constexpr int kDefaultBaudIndex = 5;

// The information line when the automatic run stops because its HEX file could not be loaded.
inline constexpr const char* kFileNotLoadedText = "HEX File Error: nothing sent to the target";
inline constexpr const char* kElfNotLoadedText = "ELF File Error: nothing sent to the target";

// Gives the device path of port number n (1 for COM1) from the platform's port map.
using PortPathResolver = std::function<std::string(unsigned portNumber)>;

// Optional progress in bytes for front ends that show more than the percent text.
enum class Phase { Program, Verify };
class ProgressListener {
 public:
  virtual ~ProgressListener() = default;
  // A step begins, and it has ended with `outcome` (a nested verify inside Program begins and
  // ends inside the program step).
  virtual void OnStepStarted(Step step) { (void)step; }
  virtual void OnStepEnded(Step step, const StepOutcome& outcome) {
    (void)step;
    (void)outcome;
  }
  // After each block that Program wrote or Verify compared, right after the percent text.
  // `doneBytes` goes back by a page when Program writes a page again after a failed read-back.
  virtual void OnBlockDone(Phase phase, std::uint32_t doneBytes, std::uint32_t totalBytes) = 0;
  // While Connect waits for its port to appear or for the bootloader to answer, about ten times
  // a second: how long it has waited, and its limit.
  virtual void OnWaiting(std::chrono::milliseconds waited, std::chrono::milliseconds limit) {
    (void)waited;
    (void)limit;
  }
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
  // Beyond the letters, the window takes the long options --wait=SECONDS, --reset=SEQUENCE and
  // --reset-after[=SEQUENCE] (one argument each); other arguments that begin with two dashes
  // count for nothing, as before.
  void ReadCommandLine(std::span<const std::string> args);
  // Puts "Com" + (index + 1) for each usable zero-based port index into the port list and
  // selects the first entry.
  void FillPortList(std::span<const unsigned> usablePortIndexes);

  // Connect uses this rate instead of the baud list's (any rate the device accepts).
  void OverrideBaudRate(std::optional<std::uint32_t> baudRate) { baudOverride_ = baudRate; }
  // Connect opens this port instead of the port list's selection.
  void OverridePort(std::optional<protocol::PortTarget> port) { portOverride_ = std::move(port); }
  // Connect opens port n of the port map instead, its device looked up at each attempt: an
  // adapter plugged in while Connect waits may only then get one.
  void OverridePortNumber(unsigned portNumber) { portNumberOverride_ = portNumber; }
  void SetProgressListener(ProgressListener* listener) { listener_ = listener; }
  // The fast load, off by default (the window never turns it on): once an erase has succeeded,
  // Program neither writes nor reads back blocks of the image that are entirely 0xFF, and the
  // verify pass leaves them out too; the erase is trusted to have left them blank. Without a
  // successful erase every block is written and verified as usual.
  void SetSkipBlankBlocks(bool skip) { skipBlankBlocks_ = skip; }
  // Asked before every request to the bootloader: a non-empty answer (why) gives the link up,
  // so that the running step ends at once and the later ones send nothing.
  void SetStopCheck(std::function<std::string()> check) {
    stopCheck_ = check;
    commands_.SetStopCheck(std::move(check));
  }

  // --- hands-free loads (the terminal's options, and the window's long options) ---

  // Drives DTR and RTS after the port has been opened, before the sync (and again before each
  // further round of probes while Connect waits for the bootloader).
  void SetResetSequence(std::optional<protocol::ResetSequence> reset) { reset_ = std::move(reset); }
  // At the end of the automatic run, once every requested step has succeeded: restarts the
  // board into its application. A requested step whose outcome is ResetAfterOk.
  void SetResetAfter(std::optional<protocol::ResetSequence> reset);
  // Connect waits up to this long for an absent port to appear, and then keeps probing until
  // the bootloader answers; 0 (the default) waits for neither.
  void SetWaitSeconds(unsigned seconds) { waitLimit_ = std::chrono::seconds(seconds); }
  // Ends a wait early when it answers true (a window that is being closed).
  void SetWaitCancelCheck(std::function<bool()> cancelled) {
    waitCancelled_ = std::move(cancelled);
  }
  using Clock = std::function<std::chrono::steady_clock::time_point()>;
  void SetClock(Clock clock) { clock_ = std::move(clock); }

  // The window's memory: at activation the last file, port and baud rate come back from this
  // settings file, each unless the command line names it; at close they are written back (what
  // the command line named is left as it was).
  void RememberSettingsIn(std::string settingsPath) { settingsPath_ = std::move(settingsPath); }
  // A file dropped on the window: opened as by the Open button, unless the command line named
  // the file.
  void FileDropped(const std::string& path);
  // Why the window's command line was refused ("" when it was not): the automatic run then
  // sends nothing.
  const std::string& CommandLineError() const { return commandLineError_; }

  // --- handlers ---

  // The chosen file's full path, or nullopt when the user cancelled the file dialog.
  void OpenFileSpeedButtonClick(const std::optional<std::string>& chosenPath);
  void ConnectSpeedButtonClick();
  void EraseSpeedButtonClick();
  void ProgramSpeedButtonClick();
  void VerifySpeedButtonClick();
  void RunSpeedButtonClick();

  void LoadHexFile(const std::string& fileName);
  // Takes lines that the front end has read with image::ReadFirmwareFile already, as LoadHexFile
  // does after a successful read (the gang load reads its file once for every board). They are
  // what Program sends: the file is not read again, even when it changes on disk.
  void UseHexLines(const std::string& fileName, std::vector<std::string> hexLines,
                   image::FileFormat format = image::FileFormat::Hex);
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

  // How each step went, with the class and reason of each failure.
  LoadResult Result() const;

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
  std::uint8_t CmdResetAfter = 0;
  std::uint8_t ResetAfterOk = 0;

  std::int32_t ExitStatus = 0;
  std::int32_t RetryCount = 0;

 private:
  void ApplyOption(const std::string& arg);
  void ApplyLongOption(const std::string& arg);
  bool OpenForConnect(std::optional<protocol::PortTarget>& port,
                      std::optional<std::uint32_t> baudRate);
  void ReportOpenFailure(const std::optional<protocol::PortTarget>& port,
                         std::optional<std::uint32_t> baudRate);
  bool ResetIntoBootloader(const protocol::PortTarget& port);
  // "" when the sequence ran; otherwise why not, with its class (a stop or the wait's end
  // interrupts its pauses).
  Failure RunReset(const protocol::ResetSequence& sequence);
  void RunRequestedSteps();
  void StartStep(Step step);
  void EndStep(Step step);
  // Records why `step` failed: the link's class when the link was lost, `error` otherwise.
  void FailStep(Step step, ErrorClass error, const std::string& message);
  void FailStepWith(Step step, const Failure& failure) { FailStep(step, failure.error, failure.message); }
  std::string SyncFailureReason(const protocol::PortTarget& port) const;
  bool Requested(Step step) const;
  bool Succeeded(Step step) const;
  void Connect();
  bool Sync(const protocol::PortTarget& port, Failure& why);
  Failure WaitEnded() const;
  // Why the run is to stop now (a signal, the window closing), or nothing.
  std::optional<std::string> StopRequested() const;
  void WaitTick(unsigned pauseMs);
  void ResetAfterLoad();
  bool ReadAgainIfChanged();
  void RestoreSettings();
  void SaveSettings();
  std::optional<protocol::PortTarget> SelectedPort() const;
  std::optional<std::uint32_t> SelectedBaudRate() const;
  void SelectPortEntry(const std::string& text);
  void EnableStepButtons();
  bool BuildWalkableImage(Step step, const std::string& failureText);
  void Program();
  void Verify();
  void ShowError(const std::string& text);
  void ShowProgress(Phase phase, std::uint32_t total, std::uint32_t remaining);
  std::span<const std::uint8_t> BlockAt(std::uint32_t address) const;
  bool SkipsBlock(std::uint32_t address) const;
  bool WriteImage();
  bool ReadBackPage(std::uint32_t pageAddress);
  bool LinkLost() const;
  void ReportFinish(int result);

  LoaderView& view_;
  protocol::BootLink& link_;
  PortPathResolver resolvePortPath_;
  protocol::BootloaderCommands commands_;
  std::vector<unsigned> usablePorts_;  // zero-based port index of each port list entry
  std::optional<std::uint32_t> baudOverride_;
  std::optional<protocol::PortTarget> portOverride_;
  std::optional<unsigned> portNumberOverride_;
  ProgressListener* listener_ = nullptr;
  bool skipBlankBlocks_ = false;
  std::function<std::string()> stopCheck_;
  std::optional<protocol::ResetSequence> reset_;
  std::optional<protocol::ResetSequence> resetAfter_;
  std::string resetAfterText_;  // the window's reset-after option, resolved after all options
  std::chrono::milliseconds waitLimit_{0};
  std::function<bool()> waitCancelled_;
  Clock clock_ = std::chrono::steady_clock::now;
  std::chrono::steady_clock::time_point waitStart_{};
  struct StepRecord {
    bool attempted = false;
    Failure failure;  // why the last attempt failed
  };
  std::array<StepRecord, kStepCount> records_{};
  std::optional<FileStamp> loadedStamp_;  // of the file as it was last read; none: not re-read
  image::FileFormat fileFormat_ = image::FileFormat::Hex;  // what the last file was read as
  std::string settingsPath_;
  WindowSettings remembered_;
  std::string commandLineError_;
};

}  // namespace vestrel::app
