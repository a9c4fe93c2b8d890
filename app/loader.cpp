#include "app/loader.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <utility>

namespace vestrel::app {
namespace {

constexpr int kMaxFailures = 20;  // a page or block may fail this often in a row
// A page's read-back gives the target this long beyond the link's 100 ms for its first reply
// byte: the time the pause before each read-back used to give it.
constexpr std::chrono::milliseconds kReadBackWait{1};
constexpr unsigned kPhasePause = 100;  // before the verify pass, and at its end
// While Connect waits: how often it looks for an absent port, how many probes make one round
// of the sync (as BaudSync), and the slices of a reset's waits between which messages run.
constexpr unsigned kAppearPollMs = 100;
constexpr int kProbesPerSync = 20;
constexpr unsigned kResetSliceMs = 100;

std::string AddressText(const char* format, std::uint32_t address) {
  char text[64];
  std::snprintf(text, sizeof text, format, static_cast<unsigned>(address));
  return text;
}

// The box text: the fixed first line, and why on a second line when a reason is known.
std::string WithReason(const std::string& text, const std::string& reason) {
  return reason.empty() ? text : text + "\n" + reason;
}

}  // namespace

Loader::Loader(LoaderView& view, protocol::BootLink& link, PortPathResolver resolvePortPath)
    : view_(view),
      link_(link),
      resolvePortPath_(std::move(resolvePortPath)),
      commands_(link, view, Memory, EraseOk, RetryCount) {
  commands_.SetObserver(this);
}

Loader::~Loader() {
  if (link_.IsOpen()) link_.ClosePort();
}

// --- start-up ---

void Loader::Configure(const LoadRequest& request) {
  CmdFile = request.file ? 1 : 0;
  if (request.file) Memory.HexFileName = *request.file;
  CmdCom = request.NamesPort() ? 1 : 0;
  CmdComNumber = request.comNumber.value_or(0);
  // A port named directly is opened as it is named, never looked up in a list: a load opens its
  // own port only (opening another drops DTR, which resets some boards).
  if (request.portPath) OverridePort(protocol::PortTarget{*request.portPath, *request.portPath});
  CmdBaud = request.NamesRate() ? 1 : 0;
  CmdBaudIndex = request.baudIndex.value_or(kDefaultBaudIndex);
  if (request.baudRate) {
    OverrideBaudRate(request.baudRate);
    const auto* found = std::find(std::begin(kBaudRates), std::end(kBaudRates), *request.baudRate);
    CmdBaudIndex = found != std::end(kBaudRates)
                       ? static_cast<std::int32_t>(found - std::begin(kBaudRates))
                       : kDefaultBaudIndex;
  }
  // The full run asks for every step and for the window to close.
  const bool all = request.all;
  CmdAll = all ? 1 : 0;
  CmdErase = all || request.erase ? 1 : 0;
  CmdProgram = all || request.program ? 1 : 0;
  CmdVerify = all || request.verify ? 1 : 0;
  CmdRun = all || request.run ? 1 : 0;
  CmdTerminate = all || request.terminate ? 1 : 0;
  SetSkipBlankBlocks(request.skipBlank);
  SetResetSequence(request.reset);
  SetResetAfter(request.resetAfter);
  SetWaitSeconds(request.waitSeconds);
}

void Loader::ReadCommandLine(std::span<const std::string> args) {
  const WindowCommandLine line = ParseWindowCommandLine(args);
  commandLineError_ = line.error;
  Configure(line.request);
}

void Loader::FillPortList(std::span<const unsigned> usablePortIndexes) {
  usablePorts_.assign(usablePortIndexes.begin(), usablePortIndexes.end());
  for (unsigned index : usablePorts_) view_.AddPortEntry("Com" + std::to_string(index + 1));
  view_.SelectPortIndex(usablePorts_.empty() ? -1 : 0);
}

// --- buttons ---

void Loader::DisableButtons() {
  for (Button button : {Button::Open, Button::Connect, Button::Erase, Button::Program,
                        Button::Verify, Button::Run}) {
    view_.SetButtonEnabled(button, false);
  }
}

void Loader::EnableButtons() {
  view_.SetButtonEnabled(Button::Open, CmdFile == 0);
  view_.SetButtonEnabled(Button::Connect, !(CmdCom == 1 && CmdBaud == 1));
  EnableStepButtons();
}

// The buttons of the steps after a connect: those the command line asked for stay disabled.
void Loader::EnableStepButtons() {
  view_.SetButtonEnabled(Button::Erase, CmdErase == 0);
  view_.SetButtonEnabled(Button::Program, CmdProgram == 0);
  view_.SetButtonEnabled(Button::Verify, CmdVerify == 0);
  view_.SetButtonEnabled(Button::Run, CmdRun == 0);
}

void Loader::ShowBox(const std::string& text, const std::string& caption) {
  view_.ShowMessage(text, caption);
  Notify([&](LoadListener& l) { l.OnMessage(text, caption); });
}

void Loader::ShowError(const std::string& text) {
  const std::string lost = link_.LinkLostReason();
  ShowBox(lost.empty() ? text : text + "\n" + lost, "Error");
}

// --- the transactions' events ---

void Loader::OnEraseProgress(int percent) {
  Notify([&](LoadListener& l) { l.OnProgress({Phase::Erase, percent, 0, 0, 0}); });
}

void Loader::OnFailedAttempt(std::uint32_t address, std::int32_t) {
  const std::int32_t count = ++retries_[static_cast<std::size_t>(RetryKind::ProgramBlock)];
  Notify([&](LoadListener& l) { l.OnRetry(RetryKind::ProgramBlock, address, count); });
}

void Loader::OnErrorShown(const std::string& text) {
  Notify([&](LoadListener& l) { l.OnMessage(text, "Error"); });
}

// --- steps and their outcomes ---

// The steps the command line asks for. The full run counts the file and the connect too
// (the window's exit rule needs them), and Program verifies by itself.
Loader::StepSet Loader::RequestedByCommandLine() const {
  StepSet steps{};
  const auto set = [&steps](Step step, bool on) { steps[static_cast<std::size_t>(step)] = on; };
  set(Step::File, CmdFile == 1 || CmdAll == 1);
  set(Step::Connect, (CmdCom == 1 && CmdBaud == 1) || CmdAll == 1);
  set(Step::Erase, CmdErase == 1);
  set(Step::Program, CmdProgram == 1);
  set(Step::Verify, CmdVerify == 1 || CmdProgram == 1);
  set(Step::Run, CmdRun == 1);
  set(Step::ResetAfter, CmdResetAfter == 1);
  return steps;
}

bool Loader::Succeeded(Step step) const {
  switch (step) {
    case Step::File:
      return FileOk == 1;
    case Step::Connect:
      return ConnectOk == 1;
    case Step::Erase:
      return EraseOk == 1;
    case Step::Program:
      return ProgramOk == 1;
    case Step::Verify:
      return VerifyOk == 1;
    case Step::Run:
      return RunOk == 1;
    case Step::ResetAfter:
      return ResetAfterOk == 1;
  }
  return false;
}

void Loader::StartStep(Step step) {
  records_[static_cast<std::size_t>(step)] = {true, {}};
  Notify([&](LoadListener& l) { l.OnStepStarted(step); });
}

void Loader::EndStep(Step step) {
  const StepOutcome outcome = Result()[step];
  Notify([&](LoadListener& l) { l.OnStepEnded(step, outcome); });
}

void Loader::FailStep(Step step, ErrorClass error, const std::string& message) {
  if (LinkLost() && step != Step::File) error = link_.LinkLostClass();
  records_[static_cast<std::size_t>(step)].failure = {error, message};
}

LoadResult Loader::Result() const {
  LoadResult result;
  result.all = CmdAll == 1;
  result.file = Memory.HexFileName;
  for (std::int32_t count : retries_) result.retries += count;
  result.flashSize = Memory.ImageBuffer ? Memory.ImageSize : 0;
  result.usedLength = Memory.ImageEnd > image::kFlashBase ? Memory.ImageEnd - image::kFlashBase : 0;
  result.version = commands_.Version();
  const StepSet requested = oneClickSteps_.value_or(RequestedByCommandLine());
  for (Step step : kSteps) {
    StepOutcome& outcome = result[step];
    const StepRecord& record = records_[static_cast<std::size_t>(step)];
    outcome.requested = requested[static_cast<std::size_t>(step)];
    if (Succeeded(step)) {
      outcome.state = StepState::Succeeded;
    } else if (record.attempted && record.failure.error != ErrorClass::None) {
      outcome.state = StepState::Failed;
      outcome.error = record.failure.error;
      outcome.message = record.failure.message;
    }
  }
  return result;
}

// --- file ---

void Loader::OpenFileSpeedButtonClick(const std::optional<std::string>& chosenPath) {
  if (chosenPath) LoadHexFile(*chosenPath);
}

void Loader::LoadHexFile(const std::string& fileName) {
  StartStep(Step::File);
  Memory.HexFileName = fileName;
  FileOk = 0;
  loadedStamp_ = StampOf(fileName);  // before reading: a change while it is read shows later
  image::HexError error;
  if (!image::ReadFirmwareFile(Memory.HexFileName, Memory.HexLines, &error, &fileFormat_,
                               &Memory.LineSources)) {
    const char* title = fileFormat_ == image::FileFormat::Elf ? "ELF File Error" : "HEX File Error";
    const std::string text = WithReason(title, error.reason);
    ShowError(text);
    FailStep(Step::File,
             error.kind == image::HexError::Kind::Unreadable ? ErrorClass::FileUnreadable
                                                             : ErrorClass::FileInvalid,
             text);
    EndStep(Step::File);
    return;
  }
  view_.SetButtonEnabled(Button::Open, CmdFile == 0);
  view_.SetFileText(Memory.HexFileName);
  FileOk = 1;
  EndStep(Step::File);
}

void Loader::UseHexLines(const std::string& fileName, std::vector<std::string> hexLines,
                         image::FileFormat format, std::vector<image::LineSource> sources) {
  StartStep(Step::File);
  Memory.HexFileName = fileName;
  Memory.HexLines = std::move(hexLines);
  Memory.LineSources = std::move(sources);
  fileFormat_ = format;
  view_.SetButtonEnabled(Button::Open, CmdFile == 0);
  view_.SetFileText(Memory.HexFileName);
  loadedStamp_.reset();  // these lines are what Program sends: nothing is read again
  FileOk = 1;
  EndStep(Step::File);
}

void Loader::FileDropped(const std::string& path) {
  if (CmdFile == 1) {
    view_.SetInfoText("The command line names the file: " + Memory.HexFileName);
    return;
  }
  LoadHexFile(path);
}

// The file may have been built again since it was opened: Program loads what is on disk now.
bool Loader::ReadAgainIfChanged() {
  if (FileOk != 1 || !loadedStamp_ || StampOf(Memory.HexFileName) == loadedStamp_) return true;
  view_.SetInfoText("File changed on disk, read again: " + Memory.HexFileName);
  LoadHexFile(Memory.HexFileName);
  return FileOk == 1;
}

// --- connect ---

std::optional<protocol::PortTarget> Loader::SelectedPort() const {
  if (portOverride_) return portOverride_;
  if (portNumberOverride_) {
    return protocol::PortTarget{"COM" + std::to_string(*portNumberOverride_),
                                resolvePortPath_(*portNumberOverride_)};
  }
  const int entry = view_.SelectedPortIndex();
  if (entry < 0 || static_cast<std::size_t>(entry) >= usablePorts_.size()) return std::nullopt;
  const unsigned number = usablePorts_[static_cast<std::size_t>(entry)] + 1;
  return protocol::PortTarget{"COM" + std::to_string(number), resolvePortPath_(number)};
}

std::optional<std::uint32_t> Loader::SelectedBaudRate() const {
  if (baudOverride_) return baudOverride_;
  const int index = view_.SelectedBaudIndex();
  if (index < 0 || index >= kBaudRateCount) return std::nullopt;
  return kBaudRates[index];
}

void Loader::ConnectSpeedButtonClick() {
  StartStep(Step::Connect);
  Connect();
  EndStep(Step::Connect);
}

void Loader::Connect() {
  ConnectOk = 0;
  view_.ProcessMessages();
  // A link that was given up (the device went away, the line died) is opened afresh.
  if (link_.IsOpen() && !link_.LinkLostReason().empty()) link_.ClosePort();
  waitStart_ = clock_();
  std::optional<protocol::PortTarget> port;
  if (!OpenForConnect(port, SelectedBaudRate())) return;
  if (!ResetIntoBootloader(*port)) return;
  view_.SetInfoText("Baud Sync...");
  Failure why;
  if (!Sync(*port, why)) {
    const bool lost = LinkLost();
    const std::string lostReason = link_.LinkLostReason();
    link_.ClosePort();
    view_.SetInfoText("ERROR:  COMM Sync");
    // A silent line needs no box, but a device that went away must be named, and a wait that
    // ran out says how long it waited.
    if (lost) {
      ShowError("ERROR:  COMM Sync");
      FailStep(Step::Connect, link_.LinkLostClass(), "ERROR:  COMM Sync\n" + lostReason);
    } else if (!why.message.empty()) {
      ShowBox("ERROR:  COMM Sync\n" + why.message, "Error");
      FailStep(Step::Connect, why.error, "ERROR:  COMM Sync\n" + why.message);
    } else {
      FailStep(Step::Connect, ErrorClass::NoSync, "ERROR:  COMM Sync\n" + SyncFailureReason(*port));
    }
    return;
  }
  // A second answer byte to a probe must not end up in front of the version reply.
  link_.DiscardStaleInput();
  view_.SetInfoText("Connected...");
  if (!commands_.ReadVersion()) {
    FailStepWith(Step::Connect, commands_.LastFailure());
    return;
  }
  Notify([this](LoadListener& l) { l.OnVersion(commands_.Version(), Memory.ImageSize); });
  view_.SetListEnabled(ListBox::Port, false);
  view_.SetListEnabled(ListBox::Baud, false);
  EnableStepButtons();
  ConnectOk = 1;
}

std::string Loader::SyncFailureReason(const protocol::PortTarget& port) const {
  const std::string rate = link_.SetsLineRate() && SelectedBaudRate()
                               ? " at " + std::to_string(*SelectedBaudRate()) + " baud"
                               : " at the port server's rate";
  return "No answer from the bootloader on " + port.displayName + " to " +
         std::to_string(protocol::BootLink::kSyncProbes) + " sync probes" + rate +
         ": is the board in its bootloader, and is the rate right?";
}

// The link has shown its own box: the connect records it, and the listeners hear of it.
void Loader::NoteOpenFailure() {
  const Failure failure = link_.OpenFailure();
  FailStepWith(Step::Connect, failure);
  Notify([&](LoadListener& l) { l.OnMessage(failure.message, "Port Error"); });
}

void Loader::ReportOpenFailure(const std::optional<protocol::PortTarget>& port,
                               std::optional<std::uint32_t> baudRate) {
  if (!port) {
    view_.SetInfoText("ERROR: Open failed: no port selected");
  } else if (!baudRate) {
    view_.SetInfoText("ERROR: Open " + port->displayName + " failed: no baud rate selected");
  } else {
    view_.SetInfoText("ERROR: Open " + port->displayName + " is failed");
  }
}

// With a wait, a port that is not there yet (an adapter still to be plugged in) is looked for
// again until it appears or the wait ends; any other failure ends at once, as without a wait.
bool Loader::OpenForConnect(std::optional<protocol::PortTarget>& port,
                            std::optional<std::uint32_t> baudRate) {
  port = SelectedPort();
  // With nothing selected the link refuses and its box names what is missing.
  if (waitLimit_.count() == 0 || !port || !baudRate) {
    if (link_.OpenPort(port, baudRate)) return true;
    NoteOpenFailure();
    ReportOpenFailure(port, baudRate);
    return false;
  }
  for (bool announced = false;; port = SelectedPort()) {
    bool absent = false;
    if (link_.OpenPortIfPresent(port, baudRate, absent)) return true;
    if (!absent) {
      NoteOpenFailure();
      ReportOpenFailure(port, baudRate);
      return false;
    }
    if (!announced) view_.SetInfoText("Waiting for " + port->displayName + " to appear");
    announced = true;
    if (const Failure ended = WaitEnded(); ended.error != ErrorClass::None) {
      const std::string device = port->devicePath.empty() ? "" : " (" + port->devicePath + ")";
      const std::string text = "Unable to Open COMM Port\n" + port->displayName + device +
                               " did not appear " + ended.message;
      ShowBox(text, "Port Error");
      FailStep(Step::Connect,
               ended.error == ErrorClass::NoSync ? ErrorClass::PortAbsent : ended.error, text);
      ReportOpenFailure(port, baudRate);
      return false;
    }
    WaitTick(kAppearPollMs);
  }
}

// Why the wait is over ("within 10 s.", the stop's reason) with its class: Stopped, or NoSync
// when the time of --wait ran out; None while it goes on (or without --wait, until a stop).
Failure Loader::WaitEnded() const {
  if (waitCancelled_ && waitCancelled_()) return {ErrorClass::Stopped, "(the window is closing)."};
  if (std::optional<std::string> stop = StopRequested())
    return {ErrorClass::Stopped, "(" + *stop + ")"};
  if (waitLimit_.count() != 0 && clock_() - waitStart_ >= waitLimit_)
    return {ErrorClass::NoSync, "within " + std::to_string(waitLimit_.count() / 1000) + " s."};
  return {};
}

std::optional<std::string> Loader::StopRequested() const {
  if (stopCheck_) {
    if (std::string reason = stopCheck_(); !reason.empty()) return reason;
  }
  if (waitCancelled_ && waitCancelled_()) return "The window is closing.";
  return std::nullopt;
}

void Loader::WaitTick(unsigned pauseMs) {
  const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(clock_() - waitStart_);
  Notify([&](LoadListener& l) { l.OnWaiting(waited, waitLimit_); });
  view_.ProcessMessages();
  if (pauseMs != 0) view_.Pause(pauseMs);
}

Failure Loader::RunReset(const protocol::ResetSequence& sequence) {
  for (const protocol::ResetStep& step : sequence.steps) {
    if (step.kind == protocol::ResetStep::Kind::Line) {
      if (std::string why = link_.SetModemLine(step.line, step.on); !why.empty())
        return {ErrorClass::ResetFailed, why};
      continue;
    }
    // A long wait in slices, so that a window stays responsive and a stop or the end of the
    // wait for the board ends it within a slice.
    for (unsigned left = step.milliseconds; left != 0;) {
      if (Failure ended = WaitEnded(); ended.error != ErrorClass::None) return ended;
      const unsigned slice = std::min(left, kResetSliceMs);
      view_.Pause(slice);
      view_.ProcessMessages();
      left -= slice;
    }
  }
  return {};
}

bool Loader::ResetIntoBootloader(const protocol::PortTarget& port) {
  if (!reset_) return true;
  view_.SetInfoText("Reset (" + reset_->name + ")...");
  const Failure why = RunReset(*reset_);
  if (why.error == ErrorClass::None) return true;
  link_.ClosePort();
  if (why.error == ErrorClass::ResetFailed) {
    const std::string text = "Unable to Reset\n" + why.message;
    ShowBox(text, "Port Error");
    view_.SetInfoText("ERROR: Reset " + port.displayName + " failed");
    FailStep(Step::Connect, why.error, text);
  } else {  // stopped, or the wait ran out during the reset: the sync never came
    const std::string text = "ERROR:  COMM Sync\nNo answer from the bootloader on " +
                             port.displayName + " " + why.message;
    ShowBox(text, "Error");
    view_.SetInfoText("ERROR:  COMM Sync");
    FailStep(Step::Connect, why.error, text);
  }
  return false;
}

// Without a wait, one round of probes as always. With one, the probes go on one by one (so that
// a window stays responsive) until the bootloader answers or the wait ends; after each
// unanswered round the reset, if any, is tried again.
bool Loader::Sync(const protocol::PortTarget& port, Failure& why) {
  if (waitLimit_.count() == 0) return link_.BaudSync();
  for (int probes = 1;; ++probes) {
    if (link_.SyncProbe() == 1) return true;
    if (LinkLost()) return false;
    if (const Failure ended = WaitEnded(); ended.error != ErrorClass::None) {
      why = {ended.error,
             "No answer from the bootloader on " + port.displayName + " " + ended.message};
      return false;
    }
    if (probes % kProbesPerSync == 0) {
      if (probes == kProbesPerSync)
        view_.SetInfoText("Waiting for the bootloader on " + port.displayName +
                          ": reset the board now");
      if (reset_) {
        if (Failure failed = RunReset(*reset_); failed.error != ErrorClass::None) {
          why = {failed.error, failed.error == ErrorClass::ResetFailed
                                   ? "Unable to Reset\n" + failed.message
                                   : "No answer from the bootloader on " + port.displayName + " " +
                                         failed.message};
          return false;
        }
      }
    }
    WaitTick(0);
  }
}

// --- erase ---

void Loader::EraseSpeedButtonClick() {
  StartStep(Step::Erase);
  view_.SetInfoText("Erasing...");
  DisableButtons();
  const bool erased = commands_.EraseFlash();
  view_.SetInfoText(erased ? "Erasing: Great Success" : "Erasing: Error");
  if (!erased) FailStepWith(Step::Erase, commands_.LastFailure());
  EnableButtons();
  EndStep(Step::Erase);
}

// --- image walk ---

bool Loader::BuildWalkableImage(Step step, const std::string& failureText) {
  image::HexError error;
  if (!image::BuildImage(Memory, &error)) {
    const std::string text = WithReason(failureText, error.reason);
    ShowError(text);
    FailStep(step,
             error.kind == image::HexError::Kind::Missing ? ErrorClass::NotReady
                                                          : ErrorClass::FileInvalid,
             text);
    return false;
  }
  // The walk goes in whole blocks; a size set elsewhere than by the version read is refused.
  if (Memory.ImageSize % image::kBlockSize != 0 || Memory.ImageSize > protocol::kMaxFlashSize) {
    const std::string text =
        WithReason(failureText, "flash size " + std::to_string(Memory.ImageSize) +
                                    " bytes is not a whole number of 512-byte blocks");
    ShowError(text);
    FailStep(step, ErrorClass::BadReply, text);
    return false;
  }
  return true;
}

std::span<const std::uint8_t> Loader::BlockAt(std::uint32_t address) const {
  return {Memory.ImageBuffer.get() + (address - image::kFlashVirtualBase), image::kBlockSize};
}

// A blank block of the image is left out only by the fast load, and only after an erase.
bool Loader::SkipsBlock(std::uint32_t address) const {
  if (!skipBlankBlocks_ || EraseOk != 1) return false;
  const auto block = BlockAt(address);
  return std::all_of(block.begin(), block.end(), [](std::uint8_t b) { return b == 0xFF; });
}

void Loader::ShowProgress(Phase phase, std::uint32_t address, std::uint32_t total,
                          std::uint32_t remaining) {
  // total is at most 16 MiB, so the product stays within 32 bits.
  const std::uint32_t percent = (total - remaining) * 100 / total;
  view_.SetProgress(static_cast<int>(percent));
  view_.SetPercentText(std::to_string(percent) + "%");
  const Progress progress{phase, static_cast<int>(percent), address, total - remaining, total};
  Notify([&](LoadListener& l) { l.OnProgress(progress); });
  view_.ProcessMessages();
}

// --- program ---

bool Loader::LinkLost() const {
  return !link_.LinkLostReason().empty();
}

bool Loader::ReadBackPage(std::uint32_t pageAddress) {
  for (std::uint32_t block = pageAddress; block < pageAddress + image::kPageSize;
       block += image::kBlockSize) {
    if (SkipsBlock(block)) continue;
    if (!commands_.VerifyBlock(block, BlockAt(block), kReadBackWait)) return false;
  }
  return true;
}

bool Loader::WriteImage() {
  const std::uint32_t total = Memory.ImageSize;
  std::uint32_t remaining = total;
  std::uint32_t address = image::kFlashVirtualBase;
  int failures = 0;
  while (remaining != 0) {
    const std::uint32_t block = address;
    if (!SkipsBlock(block) && !commands_.ProgramBlock(block, BlockAt(block))) {
      FailStepWith(Step::Program, commands_.LastFailure());
      return false;
    }
    address += image::kBlockSize;
    remaining -= image::kBlockSize;
    if ((address - image::kFlashVirtualBase) % image::kPageSize == 0) {
      if (ReadBackPage(address - image::kPageSize)) {
        failures = 0;
      } else if (++failures > kMaxFailures || LinkLost()) {
        const std::string text = AddressText("Send Program Error Addr: 0x%08X", address);
        ShowError(text);
        FailStep(Step::Program, ErrorClass::ProgramFailed,
                 WithReason(text, link_.LinkLostReason()));
        return false;
      } else {
        // Write the whole page again from its first block.
        address -= image::kPageSize;
        remaining += image::kPageSize;
        const std::int32_t count = ++retries_[static_cast<std::size_t>(RetryKind::PageRewrite)];
        Notify([&](LoadListener& l) { l.OnRetry(RetryKind::PageRewrite, address, count); });
      }
    }
    ShowProgress(Phase::Program, block, total, remaining);
  }
  return true;
}

// A finish that the bootloader refused, or whose reply never came, fails the program step: the
// bootloader has not taken the application as complete.
void Loader::ReportFinish(int result) {
  const char* failure = nullptr;
  if (result < 0) {
    failure = "Verify OK Error";
  } else if (result == protocol::kFinishNotErased) {
    failure = "Flash Not Erase";
  } else if (result == protocol::kFinishNotProgrammed) {
    failure = "Flash Not Programmed";
  }
  if (failure != nullptr) {
    // A lost link names itself on the box's second line.
    const std::string text =
        LinkLost()   ? failure
        : result < 0 ? WithReason(failure, "The bootloader did not answer the closing report.")
                     : WithReason(failure,
                                  "The bootloader refused the closing report: it does not take the "
                                  "application as complete.");
    ShowError(text);
    view_.SetInfoText("Programm: Verify OK ERROR");
    ProgramOk = 0;
    FailStep(Step::Program, ErrorClass::FinishRefused, WithReason(text, link_.LinkLostReason()));
    return;
  }
  view_.SetInfoText("Programm: Success");
  view_.SetProgress(0);
}

void Loader::ProgramSpeedButtonClick() {
  StartStep(Step::Program);
  Program();
  EndStep(Step::Program);
}

void Loader::Program() {
  ProgramOk = 0;
  view_.SetProgress(0);
  if (!ReadAgainIfChanged()) {
    view_.SetInfoText("Programm: Failed");  // nothing was sent
    FailStepWith(Step::Program, records_[static_cast<std::size_t>(Step::File)].failure);
    return;
  }
  view_.SetInfoText("Programming...");
  if (!BuildWalkableImage(Step::Program, "Create Program Memory")) return;
  DisableButtons();
  if (!WriteImage()) {
    view_.SetInfoText("Programm: Failed");  // the buttons stay disabled
    return;
  }
  ProgramOk = 1;
  view_.SetInfoText("Programm: Verifying");
  view_.Pause(kPhasePause);
  VerifySpeedButtonClick();
  if (VerifyOk == 0) {
    view_.SetInfoText("Programm: Verify Error");
    view_.SetProgress(0);
    return;
  }
  view_.SetInfoText("Programm: Verify OK");
  const int result = commands_.FinishProgram();
  EnableButtons();
  ReportFinish(result);
}

// --- verify ---

void Loader::VerifySpeedButtonClick() {
  StartStep(Step::Verify);
  Verify();
  EndStep(Step::Verify);
}

void Loader::Verify() {
  view_.SetProgress(0);
  view_.SetInfoText("Verifying...");
  VerifyOk = 0;
  RetryCount = 0;
  int failures = 0;
  if (!BuildWalkableImage(Step::Verify, "Create Verify Memory")) return;
  DisableButtons();
  const std::uint32_t total = Memory.ImageSize;
  std::uint32_t remaining = total;
  std::uint32_t address = image::kFlashVirtualBase;
  while (remaining != 0) {
    if (SkipsBlock(address) || commands_.VerifyBlock(address, BlockAt(address))) {
      address += image::kBlockSize;
      remaining -= image::kBlockSize;
      failures = 0;
      ShowProgress(Phase::Verify, address - image::kBlockSize, total, remaining);
      continue;
    }
    view_.SetInfoText("Verify: Failed");
    ++RetryCount;
    ++failures;
    view_.SetStatusPanel(2, std::to_string(RetryCount));
    const std::int32_t count = ++retries_[static_cast<std::size_t>(RetryKind::VerifyBlock)];
    Notify([&](LoadListener& l) { l.OnRetry(RetryKind::VerifyBlock, address, count); });
    // A lost link gives no better answer on the next try.
    if (failures > kMaxFailures || LinkLost()) {
      const std::string text = AddressText("Receive Verify Error Addr: 0x%08X", address);
      ShowError(text);
      FailStep(Step::Verify, ErrorClass::VerifyMismatch,
               WithReason(text, LinkLost() ? link_.LinkLostReason()
                                           : "The flash does not hold the image there."));
      EnableButtons();
      return;
    }
  }
  view_.SetInfoText("Verify: Success");
  view_.Pause(kPhasePause);
  VerifyOk = 1;
  view_.SetProgress(0);
  EnableButtons();
}

// --- run ---

void Loader::RunSpeedButtonClick() {
  StartStep(Step::Run);
  RunOk = 0;
  bool sent = false;
  if (VerifyOk == 1) {
    view_.SetInfoText("Running Program");
    sent = commands_.StartApplication() >= 0;
  }
  if (!sent) {
    ShowError("Run Program Error");
    view_.SetInfoText("Run Program: Error");
    FailStep(Step::Run, VerifyOk == 1 ? ErrorClass::LinkLost : ErrorClass::NotReady,
             WithReason("Run Program Error",
                        VerifyOk == 1 ? link_.LinkLostReason()
                                      : "The flash has not been verified: the application is "
                                        "not started."));
  } else {
    RunOk = 1;
  }
  EndStep(Step::Run);
}

// --- automatic run and exit code ---

void Loader::SelectPortEntry(const std::string& text) {
  for (int i = 0; i < view_.PortEntryCount(); ++i) {
    if (view_.PortEntry(i) == text) {
      view_.SelectPortIndex(i);
      return;
    }
  }
  view_.SelectPortIndex(-1);
}

bool Loader::FormActivate() {
  // A refused option could change what the run does (no reset, no wait): nothing is sent.
  if (!commandLineError_.empty()) {
    ShowError(WithReason("Command Line Error", commandLineError_));
    view_.SetInfoText("Command Line Error: nothing sent to the target");
    return CmdTerminate == 1;
  }
  RestoreSettings();
  if (CmdFile == 1) LoadHexFile(Memory.HexFileName);
  if (CmdCom == 1) SelectPortEntry("Com" + std::to_string(CmdComNumber));
  // A port that the scan at start-up left out of the list (held by another program then, or not
  // plugged in yet) is opened by its number, so that Connect says what stands in the way, or
  // finds it free by now.
  if (CmdCom == 1 && view_.SelectedPortIndex() < 0 && CmdComNumber > 0)
    OverridePortNumber(static_cast<unsigned>(CmdComNumber));
  if (CmdBaud == 1) {
    view_.SelectBaudIndex(CmdBaudIndex >= 0 && CmdBaudIndex < kBaudRateCount ? CmdBaudIndex : -1);
  }
  // The file named for this run is not in memory: erasing, programming an image without it (all
  // 0xFF) and starting that would destroy the target's firmware. Nothing goes to the target;
  // the requested steps stay failed and the exit code says so.
  if (CmdFile == 1 && FileOk == 0) {
    view_.SetInfoText(fileFormat_ == image::FileFormat::Elf ? kElfNotLoadedText
                                                            : kFileNotLoadedText);
    return CmdTerminate == 1;
  }
  // The full run counts the connect for its exit code, but connects only with the port and the
  // rate that the command line names.
  StepSet steps = RequestedByCommandLine();
  steps[static_cast<std::size_t>(Step::Connect)] = CmdCom == 1 && CmdBaud == 1;
  RunSteps(steps);
  return CmdTerminate == 1;
}

// The one sequencer: the requested steps in order, each only after the one before it
// succeeded. A step after a failure would act on a target in an unknown state: an erase
// without the version read after it leaves a board that cannot be programmed, a program after
// a failed erase writes into flash that was not erased, and a start after a failed program runs
// an application the bootloader does not take as complete.
void Loader::RunSteps(const StepSet& steps) {
  const auto asked = [&steps](Step step) { return steps[static_cast<std::size_t>(step)]; };
  if (asked(Step::Connect)) {
    ConnectSpeedButtonClick();
    if (ConnectOk == 0) return;
  }
  if (asked(Step::Erase)) {
    EraseSpeedButtonClick();
    if (EraseOk == 0) return;
  }
  if (asked(Step::Program)) {
    ProgramSpeedButtonClick();  // verifies by itself
    if (ProgramOk == 0 || VerifyOk == 0) return;
  } else if (asked(Step::Verify)) {
    VerifySpeedButtonClick();
    if (VerifyOk == 0) return;
  }
  if (asked(Step::Run)) {
    RunSpeedButtonClick();
    if (RunOk == 0) return;
  }
  if (asked(Step::ResetAfter)) ResetAfterLoad();
}

void Loader::SetResetAfter(std::optional<protocol::ResetSequence> reset) {
  resetAfter_ = std::move(reset);
  CmdResetAfter = resetAfter_ ? 1 : 0;
}

// The board restarts into an application only after a load that went right (the sequencer
// comes here only then).
void Loader::ResetAfterLoad() {
  StartStep(Step::ResetAfter);
  ResetAfterOk = 0;
  if (!link_.IsOpen()) {
    const std::string text =
        "Unable to Reset\nThe port is not open: the reset after the load needs a connect.";
    ShowError(text);
    view_.SetInfoText("Reset: Error");
    FailStep(Step::ResetAfter, ErrorClass::NotReady, text);
  } else {
    view_.SetInfoText("Reset (" + resetAfter_->name + "): starting the application");
    if (const Failure why = RunReset(*resetAfter_); why.error != ErrorClass::None) {
      ShowBox("Unable to Reset\n" + why.message, "Port Error");
      view_.SetInfoText("Reset: Error");
      FailStep(Step::ResetAfter, why.error, "Unable to Reset\n" + why.message);
    } else {
      ResetAfterOk = 1;
    }
  }
  EndStep(Step::ResetAfter);
}

void Loader::RestoreSettings() {
  if (settingsPath_.empty()) return;
  remembered_ = ReadWindowSettings(settingsPath_);
  std::error_code ec;
  if (CmdFile == 0 && !remembered_.file.empty() && std::filesystem::exists(remembered_.file, ec))
    LoadHexFile(remembered_.file);
  if (CmdCom == 0) {
    for (int i = 0; i < view_.PortEntryCount(); ++i)
      if (view_.PortEntry(i) == remembered_.port) view_.SelectPortIndex(i);
  }
  if (CmdBaud == 0 && remembered_.baudIndex) view_.SelectBaudIndex(*remembered_.baudIndex);
}

void Loader::SaveSettings() {
  if (settingsPath_.empty()) return;
  WindowSettings settings = remembered_;
  if (CmdFile == 0 && FileOk == 1) {
    std::error_code ec;
    const auto full = std::filesystem::absolute(Memory.HexFileName, ec);
    settings.file = ec ? Memory.HexFileName : full.string();
  }
  if (const int port = view_.SelectedPortIndex(); CmdCom == 0 && port >= 0)
    settings.port = view_.PortEntry(port);
  if (const int baud = view_.SelectedBaudIndex();
      CmdBaud == 0 && baud >= 0 && baud < kBaudRateCount)
    settings.baudIndex = baud;
  // A run whose command line named everything leaves the file as it was (or absent).
  if (settings != remembered_) WriteWindowSettings(settingsPath_, settings);
}

bool Loader::RunAllSteps() {
  StepSet steps{};
  for (Step step : {Step::File, Step::Connect, Step::Erase, Step::Program, Step::Verify, Step::Run})
    steps[static_cast<std::size_t>(step)] = true;
  oneClickSteps_ = steps;
  if (FileOk == 0) {
    view_.SetInfoText(kFileNotLoadedText);
    if (!records_[static_cast<std::size_t>(Step::File)].attempted) {
      StartStep(Step::File);
      FailStep(Step::File, ErrorClass::NotReady,
               WithReason(kFileNotLoadedText, "No firmware file is chosen."));
      EndStep(Step::File);
    }
    return false;
  }
  steps[static_cast<std::size_t>(Step::File)] = false;  // loaded already
  RunSteps(steps);
  return RunOk == 1;
}

int Loader::FormClose() {
  SaveSettings();
  if (ExitCode(Result(), ExitRule::Window) != kExitOk) exitStatus_ = 1;
  return exitStatus_;
}

}  // namespace vestrel::app
