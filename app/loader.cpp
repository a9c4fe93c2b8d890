#include "app/loader.h"

#include <algorithm>
#include <cstdio>
#include <utility>

namespace vestrel::app {
namespace {

constexpr int kMaxFailures = 20;  // a page or block may fail this often in a row
constexpr unsigned kReadBackPause = 1;
constexpr unsigned kPhasePause = 100;   // before the verify pass, and at its end
constexpr std::int32_t kNoNumber = -1;  // a `c` or `b` option without its digit

std::string AddressText(const char* format, std::uint32_t address) {
  char text[64];
  std::snprintf(text, sizeof text, format, static_cast<unsigned>(address));
  return text;
}

// The digit at `position`, or kNoNumber: a non-digit must not become a port or baud number.
std::int32_t DigitAt(const std::string& arg, std::size_t position) {
  if (arg.size() <= position || arg[position] < '0' || arg[position] > '9') return kNoNumber;
  return arg[position] - '0';
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
      commands_(link, view, Memory, EraseOk, RetryCount) {}

Loader::~Loader() {
  if (link_.IsOpen()) link_.ClosePort();
}

// --- start-up ---

void Loader::ReadCommandLine(std::span<const std::string> args) {
  for (const std::string& arg : args) {
    CurrentParam = arg;
    ApplyOption(CurrentParam);
  }
}

void Loader::ApplyOption(const std::string& arg) {
  if (arg.size() < 2) return;
  switch (arg[1]) {
    case 'a':
      CmdAll = CmdErase = CmdProgram = CmdVerify = CmdRun = CmdTerminate = 1;
      break;
    case 'b':
      CmdBaud = 1;
      CmdBaudIndex = DigitAt(arg, 2);
      break;
    case 'c':
      CmdCom = 1;
      CmdComNumber = DigitAt(arg, 2);
      break;
    case 'e':
      CmdErase = 1;
      break;
    case 'f':
      CmdFile = 1;
      Memory.HexFileName = arg.substr(2);
      break;
    case 'p':
      CmdProgram = 1;
      break;
    case 'r':
      CmdRun = 1;
      break;
    case 't':
      CmdTerminate = 1;
      break;
    case 'v':
      CmdVerify = 1;
      break;
    default:
      break;  // anything else counts for nothing
  }
}

void Loader::FillPortList(std::span<const unsigned> usablePortIndexes) {
  usablePorts_.assign(usablePortIndexes.begin(), usablePortIndexes.end());
  UseableCount = static_cast<std::int32_t>(usablePorts_.size());
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

void Loader::ShowError(const std::string& text) {
  const std::string lost = link_.LinkLostReason();
  view_.ShowMessage(lost.empty() ? text : text + "\n" + lost, "Error");
}

// --- file ---

void Loader::OpenFileSpeedButtonClick(const std::optional<std::string>& chosenPath) {
  if (chosenPath) LoadHexFile(*chosenPath);
}

void Loader::LoadHexFile(const std::string& fileName) {
  Memory.HexFileName = fileName;
  FileOk = 0;
  image::HexError error;
  if (!image::ReadHexFile(Memory.HexFileName, Memory.HexLines, &error)) {
    ShowError(WithReason("HEX File Error", error.reason));
    return;
  }
  view_.SetButtonEnabled(Button::Open, CmdFile == 0);
  view_.SetFileText(Memory.HexFileName);
  FileOk = 1;
}

void Loader::UseHexLines(const std::string& fileName, std::vector<std::string> hexLines) {
  Memory.HexFileName = fileName;
  Memory.HexLines = std::move(hexLines);
  view_.SetButtonEnabled(Button::Open, CmdFile == 0);
  view_.SetFileText(Memory.HexFileName);
  FileOk = 1;
}

// --- connect ---

std::optional<protocol::PortTarget> Loader::SelectedPort() const {
  if (portOverride_) return portOverride_;
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
  ConnectOk = 0;
  view_.ProcessMessages();
  // A link that was given up (the device went away, the line died) is opened afresh.
  if (link_.IsOpen() && !link_.LinkLostReason().empty()) link_.ClosePort();
  const auto port = SelectedPort();
  const auto baudRate = SelectedBaudRate();
  // With nothing selected the link refuses and its box names what is missing.
  if (!link_.OpenPort(port, baudRate)) {
    if (!port) {
      view_.SetInfoText("ERROR: Open failed: no port selected");
    } else if (!baudRate) {
      view_.SetInfoText("ERROR: Open " + port->displayName + " failed: no baud rate selected");
    } else {
      view_.SetInfoText("ERROR: Open " + port->displayName + " is failed");
    }
    return;
  }
  view_.SetInfoText("Baud Sync...");
  if (!link_.BaudSync()) {
    link_.ClosePort();
    view_.SetInfoText("ERROR:  COMM Sync");
    // A silent line needs no box, but a device that went away must be named.
    if (LinkLost()) ShowError("ERROR:  COMM Sync");
    return;
  }
  // A second answer byte to a probe must not end up in front of the version reply.
  link_.DiscardStaleInput();
  view_.SetInfoText("Connected...");
  if (!commands_.ReadVersion()) return;
  view_.SetListEnabled(ListBox::Port, false);
  view_.SetListEnabled(ListBox::Baud, false);
  EnableStepButtons();
  ConnectOk = 1;
}

// --- erase ---

void Loader::EraseSpeedButtonClick() {
  view_.SetInfoText("Erasing...");
  DisableButtons();
  const bool erased = commands_.EraseFlash();
  view_.SetInfoText(erased ? "Erasing: Great Success" : "Erasing: Error");
  EnableButtons();
}

// --- image walk ---

bool Loader::BuildWalkableImage(const std::string& failureText) {
  image::HexError error;
  if (!image::BuildImage(Memory, &error)) {
    ShowError(WithReason(failureText, error.reason));
    return false;
  }
  // The walk goes in whole blocks; a size set elsewhere than by the version read is refused.
  if (Memory.ImageSize % image::kBlockSize != 0 || Memory.ImageSize > protocol::kMaxFlashSize) {
    ShowError(WithReason(failureText, "flash size " + std::to_string(Memory.ImageSize) +
                                          " bytes is not a whole number of 512-byte blocks"));
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

void Loader::ShowProgress(Phase phase, std::uint32_t total, std::uint32_t remaining) {
  // total is at most 16 MiB, so the product stays within 32 bits.
  const std::uint32_t percent = (total - remaining) * 100 / total;
  view_.SetProgress(static_cast<int>(percent));
  view_.SetPercentText(std::to_string(percent) + "%");
  if (listener_ != nullptr) listener_->OnBlockDone(phase, total - remaining, total);
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
    view_.Pause(kReadBackPause);
    if (!commands_.VerifyBlock(block, BlockAt(block))) return false;
  }
  return true;
}

bool Loader::WriteImage() {
  const std::uint32_t total = Memory.ImageSize;
  std::uint32_t remaining = total;
  std::uint32_t address = image::kFlashVirtualBase;
  int failures = 0;
  while (remaining != 0) {
    if (!SkipsBlock(address) && !commands_.ProgramBlock(address, BlockAt(address))) return false;
    address += image::kBlockSize;
    remaining -= image::kBlockSize;
    if ((address - image::kFlashVirtualBase) % image::kPageSize == 0) {
      if (ReadBackPage(address - image::kPageSize)) {
        failures = 0;
      } else if (++failures > kMaxFailures || LinkLost()) {
        ShowError(AddressText("Send Program Error Addr: 0x%08X", address));
        return false;
      } else {
        // Write the whole page again from its first block.
        address -= image::kPageSize;
        remaining += image::kPageSize;
      }
    }
    ShowProgress(Phase::Program, total, remaining);
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
    ShowError(failure);
    view_.SetInfoText("Programm: Verify OK ERROR");
    ProgramOk = 0;
    return;
  }
  view_.SetInfoText("Programm: Success");
  view_.SetProgress(0);
}

void Loader::ProgramSpeedButtonClick() {
  ProgramOk = 0;
  view_.SetProgress(0);
  view_.SetInfoText("Programming...");
  if (!BuildWalkableImage("Create Program Memory")) return;
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
  view_.SetProgress(0);
  view_.SetInfoText("Verifying...");
  VerifyOk = 0;
  RetryCount = 0;
  int failures = 0;
  if (!BuildWalkableImage("Create Verify Memory")) return;
  DisableButtons();
  const std::uint32_t total = Memory.ImageSize;
  std::uint32_t remaining = total;
  std::uint32_t address = image::kFlashVirtualBase;
  while (remaining != 0) {
    if (SkipsBlock(address) || commands_.VerifyBlock(address, BlockAt(address))) {
      address += image::kBlockSize;
      remaining -= image::kBlockSize;
      failures = 0;
      ShowProgress(Phase::Verify, total, remaining);
      continue;
    }
    view_.SetInfoText("Verify: Failed");
    ++RetryCount;
    ++failures;
    view_.SetStatusPanel(2, std::to_string(RetryCount));
    // A lost link gives no better answer on the next try.
    if (failures > kMaxFailures || LinkLost()) {
      ShowError(AddressText("Receive Verify Error Addr: 0x%08X", address));
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
  RunOk = 0;
  bool sent = false;
  if (VerifyOk == 1) {
    view_.SetInfoText("Running Program");
    sent = commands_.StartApplication() >= 0;
  }
  if (!sent) {
    ShowError("Run Program Error");
    view_.SetInfoText("Run Program: Error");
    return;
  }
  RunOk = 1;
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
  if (CmdFile == 1) LoadHexFile(Memory.HexFileName);
  if (CmdCom == 1) SelectPortEntry("Com" + std::to_string(CmdComNumber));
  if (CmdBaud == 1) {
    view_.SelectBaudIndex(CmdBaudIndex >= 0 && CmdBaudIndex < kBaudRateCount ? CmdBaudIndex : -1);
  }
  // The file named for this run is not in memory: erasing, programming an image without it (all
  // 0xFF) and starting that would destroy the target's firmware. Nothing goes to the target;
  // the requested steps stay failed and the exit code says so.
  if (CmdFile == 1 && FileOk == 0) {
    view_.SetInfoText(kFileNotLoadedText);
    return CmdTerminate == 1;
  }
  if (CmdCom == 1 && CmdBaud == 1) {
    ConnectSpeedButtonClick();
    // An erase without the version read after it would leave a target that cannot be
    // programmed: the old firmware gone, the new one never written.
    if (ConnectOk == 0) return CmdTerminate == 1;
  }
  if (CmdErase == 1) EraseSpeedButtonClick();
  if (CmdProgram == 1) ProgramSpeedButtonClick();  // verifies by itself
  if (CmdVerify == 1 && CmdProgram == 0) VerifySpeedButtonClick();
  if (CmdRun == 1) RunAfterAutomaticSteps();
  return CmdTerminate == 1;
}

// The application is started only when the program step that this run asked for succeeded: a
// finish that the bootloader refused leaves an application that it does not take as complete.
void Loader::RunAfterAutomaticSteps() {
  if (CmdProgram == 0 || ProgramOk == 1) {
    RunSpeedButtonClick();
    return;
  }
  RunOk = 0;
  ShowError(
      WithReason("Run Program Error", "The program step failed: the application is not started."));
  view_.SetInfoText("Run Program: Error");
}

int Loader::RequestedStepsExitStatus() const {
  const bool failed = (CmdFile == 1 && FileOk != 1) ||
                      (CmdCom == 1 && CmdBaud == 1 && ConnectOk != 1) ||
                      (CmdErase == 1 && EraseOk != 1) || (CmdProgram == 1 && ProgramOk != 1) ||
                      (CmdVerify == 1 && VerifyOk != 1) || (CmdRun == 1 && RunOk != 1);
  return failed ? 1 : 0;
}

bool Loader::RunAllSteps() {
  if (FileOk == 0) {
    view_.SetInfoText(kFileNotLoadedText);
    return false;
  }
  ConnectSpeedButtonClick();
  if (ConnectOk == 0) return false;
  EraseSpeedButtonClick();
  if (EraseOk == 0) return false;
  ProgramSpeedButtonClick();
  if (ProgramOk == 0 || VerifyOk == 0) return false;
  RunSpeedButtonClick();
  return RunOk == 1;
}

int Loader::FormClose() {
  if (CmdAll == 1 && CmdTerminate == 1) {
    const bool all = ConnectOk == 1 && FileOk == 1 && EraseOk == 1 && ProgramOk == 1 &&
                     VerifyOk == 1 && RunOk == 1;
    ExitStatus = all ? 0 : 1;
    return ExitStatus;
  }
  if ((CmdErase == 1 && EraseOk != 1) || (CmdProgram == 1 && ProgramOk != 1) ||
      (CmdVerify == 1 && VerifyOk != 1) || (CmdRun == 1 && RunOk != 1)) {
    ExitStatus = 1;
  }
  return ExitStatus;
}

}  // namespace vestrel::app
