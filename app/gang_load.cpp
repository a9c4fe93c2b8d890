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
  void SetVersionText(const std::string&) override {}
  void SetFileText(const std::string&) override {}
  void SetStatusPanel(int, const std::string&) override {}
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

  std::vector<std::string> errors;

 private:
  std::size_t board_;
  GangListener& listener_;
  int progress_ = 0;
  int baudIndex_ = kDefaultBaudIndex;
};

BoardResult LoadBoard(const GangJob& job, std::size_t board,
                      const std::vector<std::string>& hexLines, image::FileFormat format,
                      GangListener& listener) {
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
    if (job.hexFile) loader.UseHexLines(*job.hexFile, hexLines, format);
    loader.FormActivate();
    loader.FormClose();
    result.load = loader.Result();
    result.exitCode = ExitCode(result.load, ExitRule::Terminal);
  }  // the port is closed here, before the board counts as done
  result.errors = std::move(view.errors);
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return result;
}

}  // namespace

Failure BoardResult::FirstError() const {
  return load.FirstError();
}

std::string BoardResult::FirstErrorLine() const {
  std::string line = FirstError().message;
  std::replace(line.begin(), line.end(), '\n', ' ');
  return line;
}

int GangOutcome::ExitCode() const {
  if (boards.empty()) return 1;
  return std::all_of(boards.begin(), boards.end(), [](const BoardResult& b) { return b.ok(); }) ? 0
                                                                                                : 1;
}

GangOutcome RunGang(const GangJob& job, GangListener& listener) {
  GangOutcome outcome;
  std::vector<std::string> hexLines;
  image::FileFormat format = image::FileFormat::Hex;
  if (job.hexFile) {
    image::HexError error;
    if (!image::ReadFirmwareFile(*job.hexFile, hexLines, &error, &format)) {
      const std::string title =
          format == image::FileFormat::Elf ? "ELF File Error" : "HEX File Error";
      outcome.fileError = {error.kind == image::HexError::Kind::Unreadable
                               ? ErrorClass::FileUnreadable
                               : ErrorClass::FileInvalid,
                           title + "\n" + error.reason};
      for (const std::string& port : job.portNames) {
        BoardResult& board = outcome.boards.emplace_back();
        board.port = port;
        board.errors = {"Error: " + outcome.fileError.message};
        StepOutcome& file = board.load[Step::File];
        file = {true, StepState::Failed, outcome.fileError.error, outcome.fileError.message};
      }
      return outcome;
    }
  }
  outcome.boards.resize(job.targets.size());
  std::vector<std::thread> threads;
  threads.reserve(job.targets.size());
  for (std::size_t board = 0; board < job.targets.size(); ++board) {
    threads.emplace_back([&, board] {
      outcome.boards[board] = LoadBoard(job, board, hexLines, format, listener);
      listener.OnDone(board, outcome.boards[board]);
    });
  }
  for (std::thread& thread : threads) thread.join();
  return outcome;
}

}  // namespace vestrel::app
