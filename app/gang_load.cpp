#include "app/gang_load.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <utility>

#include "image/program_memory.h"
#include "protocol/serial_loader_link.h"

namespace vestrel::app {
namespace {

constexpr const char* kVersionPrefix = "BL Version: ";

// One board's view: what the loader shows goes to the listener, tagged with the board, and
// what the result needs is kept.
class BoardView final : public LoaderView {
 public:
  BoardView(std::size_t board, GangListener& listener) : board_(board), listener_(listener) {}

  void SetInfoText(const std::string& text) override { listener_.OnText(board_, text); }
  void SetPercentText(const std::string&) override {}
  void SetProgress(int percent) override {
    progress_ = percent;
    if (percent > 0) listener_.OnProgress(board_, percent);
  }
  int Progress() const override { return progress_; }
  void SetVersionText(const std::string& text) override {
    version = text.rfind(kVersionPrefix, 0) == 0 && text != "BL Version: N/A"
                  ? text.substr(std::string(kVersionPrefix).size())
                  : std::string();
  }
  void SetFileText(const std::string&) override {}
  // Panel 1 counts the failed attempts of programming, panel 2 those of verifying.
  void SetStatusPanel(int index, const std::string& text) override {
    if (index == 1 || index == 2) panels_[index - 1] = std::atoi(text.c_str());
  }
  void ShowMessage(const std::string& text, const std::string& caption) override {
    errors.push_back(caption + ": " + text);
    listener_.OnError(board_, text, caption);
  }
  void SetButtonEnabled(Button, bool) override {}
  void SetListEnabled(ListBox, bool) override {}
  void AddPortEntry(const std::string&) override {}
  int PortEntryCount() const override { return 0; }
  std::string PortEntry(int) const override { return {}; }
  int SelectedPortIndex() const override { return -1; }
  void SelectPortIndex(int) override {}
  int SelectedBaudIndex() const override { return baudIndex_; }
  void SelectBaudIndex(int index) override { baudIndex_ = index; }
  void ProcessMessages() override {}
  void Pause(unsigned milliseconds) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
  }

  std::int32_t Retries() const { return panels_[0] + panels_[1]; }

  std::string version;
  std::vector<std::string> errors;

 private:
  std::size_t board_;
  GangListener& listener_;
  int progress_ = 0;
  int panels_[2] = {0, 0};
  int baudIndex_ = kDefaultBaudIndex;
};

const char* Outcome(bool requested, bool ok, bool skipped) {
  if (!requested) return nullptr;
  if (skipped) return "skipped";
  return ok ? "ok" : "failed";
}

}  // namespace

std::string BoardResult::FirstError() const {
  if (errors.empty()) return {};
  std::string line = errors.front();
  std::replace(line.begin(), line.end(), '\n', ' ');
  return line;
}

int GangOutcome::ExitCode() const {
  if (boards.empty()) return 1;
  return std::all_of(boards.begin(), boards.end(), [](const BoardResult& b) { return b.ok(); }) ? 0
                                                                                                : 1;
}

std::vector<StepOutcome> StepOutcomes(const Loader& l) {
  // Without the named file, or after a failed connect, the run sends nothing more.
  const bool connect = l.CmdCom && l.CmdBaud;
  const bool noFile = l.CmdFile && !l.FileOk;
  const bool skip = noFile || (connect && !l.ConnectOk);
  const std::pair<const char*, const char*> steps[] = {
      {"file", Outcome(l.CmdFile, l.FileOk, false)},
      {"connect", Outcome(connect, l.ConnectOk, noFile)},
      {"erase", Outcome(l.CmdErase, l.EraseOk, skip)},
      {"program", Outcome(l.CmdProgram, l.ProgramOk, skip)},
      {"verify", Outcome(l.CmdVerify || l.CmdProgram, l.VerifyOk, skip)},
      {"run", Outcome(l.CmdRun, l.RunOk, skip)},
      {"reset", Outcome(l.CmdResetAfter, l.ResetAfterOk, skip)}};
  std::vector<StepOutcome> outcomes;
  for (const auto& [name, outcome] : steps)
    if (outcome) outcomes.push_back({name, outcome});
  return outcomes;
}

BoardResult LoadBoard(const GangJob& job, std::size_t board,
                      const std::vector<std::string>& hexLines, GangListener& listener) {
  const auto start = std::chrono::steady_clock::now();
  BoardView view(board, listener);
  protocol::SerialLoaderLink link(view);
  BoardResult result;
  result.port = job.portNames[board];
  {
    Loader loader(view, link,
                  [](unsigned n) { return protocol::SerialLoaderLink::PortName(n, false); });
    if (job.configure) job.configure(loader);
    loader.CmdCom = 1;
    loader.OverridePort(job.targets[board]);
    if (job.hexFile) loader.UseHexLines(*job.hexFile, hexLines);
    loader.FormActivate();
    result.exitCode = std::max(loader.FormClose(), loader.RequestedStepsExitStatus());
    result.flashSize = loader.Memory.ImageSize;
    result.steps = StepOutcomes(loader);
  }  // the port is closed here, before the board counts as done
  result.version = view.version;
  result.retries = view.Retries();
  result.errors = std::move(view.errors);
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return result;
}

GangOutcome RunGang(const GangJob& job, GangListener& listener) {
  GangOutcome outcome;
  std::vector<std::string> hexLines;
  if (job.hexFile) {
    image::HexError error;
    if (!image::ReadHexFile(*job.hexFile, hexLines, &error)) {
      outcome.fileError = error.reason;
      for (const std::string& port : job.portNames) {
        BoardResult& board = outcome.boards.emplace_back();
        board.port = port;
        board.errors = {"Error: HEX File Error\n" + error.reason};
        board.steps = {{"file", "failed"}};
      }
      return outcome;
    }
  }
  outcome.boards.resize(job.targets.size());
  std::vector<std::thread> threads;
  threads.reserve(job.targets.size());
  for (std::size_t board = 0; board < job.targets.size(); ++board) {
    threads.emplace_back([&, board] {
      outcome.boards[board] = LoadBoard(job, board, hexLines, listener);
      listener.OnDone(board, outcome.boards[board]);
    });
  }
  for (std::thread& thread : threads) thread.join();
  return outcome;
}

}  // namespace vestrel::app
