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

// One board's view and events: what the loader shows and tells goes to the listener, tagged
// with the board, and the error boxes are kept for the result.
class BoardView final : public LoaderView, public LoadListener {
 public:
  BoardView(std::size_t board, GangListener& listener) : board_(board), listener_(listener) {}

  void SetInfoText(const std::string& text) override { listener_.OnText(board_, text); }
  void SetPercentText(const std::string&) override {}
  void SetProgress(int percent) override { progress_ = percent; }
  int Progress() const override { return progress_; }
  void SetVersionText(const std::string&) override {}
  void SetFileText(const std::string&) override {}
  void SetStatusPanel(int, const std::string&) override {}
  void ShowMessage(const std::string& text, const std::string& caption) override {
    errors.push_back(caption + ": " + text);
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

  void OnStepStarted(Step step) override { listener_.OnStepStarted(board_, step); }
  void OnStepEnded(Step step, const StepOutcome& outcome) override {
    listener_.OnStepEnded(board_, step, outcome);
  }
  void OnProgress(const app::Progress& progress) override {
    listener_.OnProgress(board_, progress);
  }
  void OnRetry(RetryKind kind, std::uint32_t address, std::int32_t count) override {
    listener_.OnRetry(board_, kind, address, count);
  }
  void OnVersion(const std::string& version, std::uint32_t flashSize) override {
    listener_.OnVersion(board_, version, flashSize);
  }
  void OnMessage(const std::string& text, const std::string& caption) override {
    listener_.OnMessage(board_, text, caption);
  }

  std::vector<std::string> errors;

 private:
  std::size_t board_;
  GangListener& listener_;
  int progress_ = 0;
  int baudIndex_ = kDefaultBaudIndex;
};

// The events of every board, to each of several listeners.
class FanOut final : public GangListener {
 public:
  explicit FanOut(const std::vector<GangListener*>& listeners) : listeners_(listeners) {}
  void OnText(std::size_t b, const std::string& text) override {
    for (GangListener* l : listeners_) l->OnText(b, text);
  }
  void OnStepStarted(std::size_t b, Step step) override {
    for (GangListener* l : listeners_) l->OnStepStarted(b, step);
  }
  void OnStepEnded(std::size_t b, Step step, const StepOutcome& outcome) override {
    for (GangListener* l : listeners_) l->OnStepEnded(b, step, outcome);
  }
  void OnProgress(std::size_t b, const Progress& progress) override {
    for (GangListener* l : listeners_) l->OnProgress(b, progress);
  }
  void OnRetry(std::size_t b, RetryKind kind, std::uint32_t address, std::int32_t count) override {
    for (GangListener* l : listeners_) l->OnRetry(b, kind, address, count);
  }
  void OnVersion(std::size_t b, const std::string& version, std::uint32_t flashSize) override {
    for (GangListener* l : listeners_) l->OnVersion(b, version, flashSize);
  }
  void OnMessage(std::size_t b, const std::string& text, const std::string& caption) override {
    for (GangListener* l : listeners_) l->OnMessage(b, text, caption);
  }
  void OnDone(std::size_t b, const BoardResult& result) override {
    for (GangListener* l : listeners_) l->OnDone(b, result);
  }

 private:
  const std::vector<GangListener*>& listeners_;
};

}  // namespace

BoardResult LoadBoard(const GangJob& job, std::size_t board,
                      const std::vector<std::string>& hexLines, image::FileFormat format,
                      GangListener& listener, const std::vector<image::LineSource>& sources) {
  const auto start = std::chrono::steady_clock::now();
  BoardView view(board, listener);
  protocol::SerialLoaderLink link(view);
  BoardResult result;
  result.port = job.portNames[board];
  {
    Loader loader(view, link,
                  [](unsigned n) { return protocol::SerialLoaderLink::PortName(n, false); });
    loader.AddListener(&view);
    LoadRequest request = job.request;
    request.file.reset();  // the lines read once are handed in below
    request.comNumber.reset();
    request.portPath = job.targets[board].displayName;
    loader.Configure(request);
    loader.OverridePort(job.targets[board]);  // "COM3" shown, its device opened
    loader.SetStopCheck(job.stop);
    if (job.hexFile) loader.UseHexLines(*job.hexFile, hexLines, format, sources);
    loader.FormActivate();
    loader.FormClose();
    result.load = loader.Result();
    result.exitCode = ExitCode(result.load, ExitRule::Terminal);
  }  // the port is closed here, before the board counts as done
  result.errors = std::move(view.errors);
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return result;
}

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

GangOutcome RunGang(const GangJob& job, const std::vector<GangListener*>& listeners) {
  FanOut listener(listeners);
  GangOutcome outcome;
  std::vector<std::string> hexLines;
  image::FileFormat format = image::FileFormat::Hex;
  std::vector<image::LineSource> sources;
  if (job.hexFile) {
    image::HexError error;
    if (!image::ReadFirmwareFile(*job.hexFile, hexLines, &error, &format, &sources)) {
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
      outcome.boards[board] = LoadBoard(job, board, hexLines, format, listener, sources);
      listener.OnDone(board, outcome.boards[board]);
    });
  }
  for (std::thread& thread : threads) thread.join();
  return outcome;
}

}  // namespace vestrel::app
