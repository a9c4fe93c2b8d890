// The loader without its window: its state, the button handlers, the automatic run, the one
// sequencer of the requested steps and the typed outcome. Every front end (the Qt and Win32
// windows, the terminal, gang loads, the web page) drives it; it writes what the user sees to a
// LoaderView and tells listeners what happens as typed events.
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
#include "app/load_events.h"
#include "app/load_request.h"
#include "app/load_result.h"
#include "app/window_settings.h"
#include "image/program_memory.h"
#include "protocol/boot_link.h"
#include "protocol/bootloader_commands.h"
#include "protocol/loader_view.h"
#include "protocol/reset_sequence.h"

namespace vestrel::app {

// The information line when the automatic run stops because its HEX file could not be loaded.
inline constexpr const char* kFileNotLoadedText = "HEX File Error: nothing sent to the target";
inline constexpr const char* kElfNotLoadedText = "ELF File Error: nothing sent to the target";

// Gives the device path of port number n (1 for COM1) from the platform's port map.
using PortPathResolver = std::function<std::string(unsigned portNumber)>;

class Loader : private protocol::CommandObserver {
 public:
  // Both references must outlive the loader.
  Loader(LoaderView& view, protocol::BootLink& link, PortPathResolver resolvePortPath);
  // Closes the port if it is open.
  ~Loader() override;
  Loader(const Loader&) = delete;
  Loader& operator=(const Loader&) = delete;

  // --- what to do ---

  // Takes the request: the file, port and rate the automatic run uses, the steps it runs (which
  // also keep their buttons disabled), and the desk options.
  void Configure(const LoadRequest& request);
  // The window's command line (ParseWindowCommandLine), then Configure.
  void ReadCommandLine(std::span<const std::string> args);
  // Why the window's command line was refused ("" when it was not): the automatic run then
  // sends nothing.
  const std::string& CommandLineError() const { return commandLineError_; }
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
  // Listeners outlive the loader; each gets every event, in the order they were added.
  void AddListener(LoadListener* listener) { listeners_.push_back(listener); }
  // The fast load, off by default (the window never turns it on): once an erase has succeeded,
  // Program neither writes nor reads back blocks of the image that are entirely 0xFF, and the
  // verify pass leaves them out too; the erase is trusted to have left them blank. Without a
  // successful erase every block is written and verified as usual.
  void SetSkipBlankBlocks(bool skip) { skipBlankBlocks_ = skip; }
  // Asked before every request to the bootloader and in every wait: a non-empty answer (why)
  // gives the link up, so that the running step ends at once and the later ones send nothing.
  void SetStopCheck(std::function<std::string()> check) {
    stopCheck_ = check;
    commands_.SetStopCheck(std::move(check));
  }
  // Drives DTR and RTS after the port has been opened, before the sync (and again before each
  // further round of probes while Connect waits for the bootloader).
  void SetResetSequence(std::optional<protocol::ResetSequence> reset) { reset_ = std::move(reset); }
  // Once every other requested step has succeeded: restarts the board into its application.
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

  // --- handlers ---

  // The chosen file's full path, or nullopt when the user cancelled the file dialog.
  void OpenFileSpeedButtonClick(const std::optional<std::string>& chosenPath);
  void ConnectSpeedButtonClick();
  void EraseSpeedButtonClick();
  void ProgramSpeedButtonClick();
  void VerifySpeedButtonClick();
  void RunSpeedButtonClick();
  // A file dropped on the window: opened as by the Open button, unless the command line named
  // the file.
  void FileDropped(const std::string& path);

  void LoadHexFile(const std::string& fileName);
  // Takes lines that the front end has read with image::ReadFirmwareFile already, as LoadHexFile
  // does after a successful read (the gang load reads its file once for every board). They are
  // what Program sends: the file is not read again, even when it changes on disk. `sources` as
  // that read gave them (an ELF file's segments).
  void UseHexLines(const std::string& fileName, std::vector<std::string> hexLines,
                   image::FileFormat format = image::FileFormat::Hex,
                   std::vector<image::LineSource> sources = {});
  void DisableButtons();
  void EnableButtons();

  // --- runs ---

  // The automatic run: the remembered settings, the file, the lists' selection, then the
  // requested steps through the one sequencer. Returns true when the window is to close now
  // (`t` or `a`); the front end then closes it and calls FormClose.
  bool FormActivate();
  // Computes the exit status by the window's rule and returns it; remembers the settings.
  int FormClose();
  // The one-click load (the web page's Load button): connect, erase, program (which verifies)
  // and start the application through the same sequencer, each step only after the one before
  // it succeeded. Without a loaded file nothing is sent at all. True when the application was
  // started.
  bool RunAllSteps();

  // --- outcome ---

  // How each step went, with the class and reason of each failure.
  LoadResult Result() const;
  // The process exit code, valid once FormClose has run.
  int ExitStatus() const { return exitStatus_; }

 private:
  // The steps the current run was asked for.
  using StepSet = std::array<bool, kStepCount>;
  StepSet RequestedByCommandLine() const;
  void RunSteps(const StepSet& steps);

  // protocol::CommandObserver
  void OnEraseProgress(int percent) override;
  void OnFailedAttempt(std::uint32_t address, std::int32_t retryCount) override;
  void OnErrorShown(const std::string& text) override;

  template <typename Event>
  void Notify(const Event& event) const {
    for (LoadListener* listener : listeners_) event(*listener);
  }
  void ShowBox(const std::string& text, const std::string& caption);
  void ShowError(const std::string& text);

  bool OpenForConnect(std::optional<protocol::PortTarget>& port,
                      std::optional<std::uint32_t> baudRate);
  void NoteOpenFailure();
  void ReportOpenFailure(const std::optional<protocol::PortTarget>& port,
                         std::optional<std::uint32_t> baudRate);
  bool ResetIntoBootloader(const protocol::PortTarget& port);
  // The stop, or the end of the wait for the board, ends its pauses with their class.
  Failure RunReset(const protocol::ResetSequence& sequence);
  void Connect();
  bool Sync(const protocol::PortTarget& port, Failure& why);
  Failure WaitEnded() const;
  // Why the run is to stop now (a signal), or nothing.
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
  void ShowProgress(Phase phase, std::uint32_t address, std::uint32_t total,
                    std::uint32_t remaining);
  std::span<const std::uint8_t> BlockAt(std::uint32_t address) const;
  bool SkipsBlock(std::uint32_t address) const;
  bool WriteImage();
  bool ReadBackPage(std::uint32_t pageAddress);
  bool LinkLost() const;
  void ReportFinish(int result);
  std::string SyncFailureReason(const protocol::PortTarget& port) const;

  void StartStep(Step step);
  void EndStep(Step step);
  // Records why `step` failed: the link's class when the link was lost, `error` otherwise.
  void FailStep(Step step, ErrorClass error, const std::string& message);
  void FailStepWith(Step step, const Failure& failure) {
    FailStep(step, failure.error, failure.message);
  }
  bool Succeeded(Step step) const;

  LoaderView& view_;
  protocol::BootLink& link_;
  PortPathResolver resolvePortPath_;

  // The window's state, under its own names (flags are 0 or 1).
  image::ProgramMemory Memory;  // HexLines, HexFileName, ImageBuffer, ImageSize, ImageEnd
  std::int32_t CmdComNumber = 0;
  std::int32_t CmdBaudIndex = 0;
  std::uint8_t ConnectOk = 0, FileOk = 0, EraseOk = 0, ProgramOk = 0, VerifyOk = 0, RunOk = 0;
  std::uint8_t ResetAfterOk = 0;
  std::uint8_t CmdFile = 0, CmdCom = 0, CmdBaud = 0, CmdAll = 0, CmdErase = 0, CmdProgram = 0,
               CmdVerify = 0, CmdRun = 0, CmdTerminate = 0, CmdResetAfter = 0;
  std::int32_t RetryCount = 0;  // failed attempts as the status bar shows them
  std::int32_t exitStatus_ = 0;

  protocol::BootloaderCommands commands_;
  std::vector<unsigned> usablePorts_;  // zero-based port index of each port list entry
  std::optional<std::uint32_t> baudOverride_;
  std::optional<protocol::PortTarget> portOverride_;
  std::optional<unsigned> portNumberOverride_;
  std::vector<LoadListener*> listeners_;
  bool skipBlankBlocks_ = false;
  std::function<std::string()> stopCheck_;
  std::optional<protocol::ResetSequence> reset_;
  std::optional<protocol::ResetSequence> resetAfter_;
  std::chrono::milliseconds waitLimit_{0};
  std::function<bool()> waitCancelled_;
  Clock clock_ = std::chrono::steady_clock::now;
  std::chrono::steady_clock::time_point waitStart_{};
  struct StepRecord {
    bool attempted = false;
    Failure failure;  // why the last attempt failed
  };
  std::array<StepRecord, kStepCount> records_{};
  std::optional<StepSet> oneClickSteps_;   // what the one-click load asks for, once it ran
  std::array<std::int32_t, 3> retries_{};  // by RetryKind, over the whole run
  std::optional<FileStamp> loadedStamp_;   // of the file as it was last read; none: not re-read
  image::FileFormat fileFormat_ = image::FileFormat::Hex;  // what the last file was read as
  std::string settingsPath_;
  WindowSettings remembered_;
  std::string commandLineError_;
};

}  // namespace vestrel::app
