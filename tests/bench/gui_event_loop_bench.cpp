// How long the window's event loop goes unserved during an automatic run: the window is built
// with the real serial link and port map, given the loader's options after "--", and shown
// offscreen; a 1 ms timer notes every gap between its turns until the window closes.
//
//   gui_event_loop_bench -- -fapp.hex -c1 -b7 -a
//
// Prints one JSON line: the longest gap, the five longest, how many exceeded 50 and 100 ms,
// and the window's exit code. Boxes close themselves (their texts go to stderr).
#include <QApplication>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "app/gui/vestrelmain.h"

namespace {

using Clock = std::chrono::steady_clock;

class GapRecorder {
 public:
  void Turn() {
    const auto now = Clock::now();
    if (last_) gaps_.push_back(std::chrono::duration<double, std::milli>(now - *last_).count());
    last_ = now;
  }

  void Print(int exitStatus) {
    std::sort(gaps_.begin(), gaps_.end(), std::greater<>());
    const auto over = [this](double ms) {
      return std::count_if(gaps_.begin(), gaps_.end(), [ms](double g) { return g > ms; });
    };
    std::string longest;
    for (std::size_t i = 0; i < std::min<std::size_t>(5, gaps_.size()); ++i)
      longest += (i ? "," : "") + std::to_string(gaps_[i]);
    std::printf(
        "{\"max_gap_ms\":%.3f,\"longest_ms\":[%s],\"over_50ms\":%td,\"over_100ms\":%td,"
        "\"turns\":%zu,\"exit\":%d}\n",
        gaps_.empty() ? 0.0 : gaps_.front(), longest.c_str(), over(50), over(100), gaps_.size(),
        exitStatus);
  }

 private:
  std::optional<Clock::time_point> last_;
  std::vector<double> gaps_;
};

}  // namespace

int main(int argc, char** argv) {
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  qputenv(vestrel::gui::kAutoCloseBoxesVariable, "1");
  std::vector<std::string> loaderArgs;
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--") {
      loaderArgs.assign(argv + i + 1, argv + argc);
      argc = i;
      break;
    }
  }
  QApplication app(argc, argv);
  vestrel::gui::TVestrelForm form(loaderArgs, vestrel::gui::FormServices::Real());

  GapRecorder recorder;
  QTimer timer;
  timer.setTimerType(Qt::PreciseTimer);
  QObject::connect(&timer, &QTimer::timeout, [&recorder] { recorder.Turn(); });
  timer.start(1);
  form.show();
  QApplication::exec();
  recorder.Print(form.ExitStatus());
  return form.ExitStatus();
}
