// vestrel-cli --json: the run as NDJSON, one object per line with an "event" field, for build
// servers, test labs and scripts. The human text goes to stderr meanwhile. Events, in order:
// "start"; per step "phase" (started, then ended with its outcome); "progress" (at most about ten
// a second per board, and always at 100 %); "retry"; "version"; "message" (an error box);
// "board" at the end of each board of a gang load; and last, always, "result". Error classes
// are those of ErrorClassName. docs/events.schema.json describes every event.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <ostream>
#include <string>
#include <vector>

#include "app/gang_load.h"
#include "app/load_events.h"
#include "app/load_result.h"

namespace vestrel::cli {

struct LoadOptions;

class JsonEvents final : public app::LoadListener, public app::GangListener {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;
  using Json = nlohmann::ordered_json;

  // `ports` names the boards of a gang load, in order; a single load has one (or none).
  JsonEvents(std::ostream& out, std::vector<std::string> ports,
             Clock clock = std::chrono::steady_clock::now);

  void Start(const LoadOptions& load);
  // The last line of a single load, and why it failed.
  void Result(const app::LoadResult& result, int exitCode, const Failure& error, double seconds);
  // The last line of a gang load, and why it failed (the first failed board's reason).
  void Result(const app::GangOutcome& outcome, int exitCode, const Failure& error, double seconds);
  // The last line when nothing was run: a usage error (class "usage"), or a run that could not
  // start; `error` says why.
  void Result(int exitCode, const Failure& error);

  // One board (board 0).
  void OnStepStarted(app::Step step) override { OnStepStarted(0, step); }
  void OnStepEnded(app::Step step, const app::StepOutcome& outcome) override {
    OnStepEnded(0, step, outcome);
  }
  void OnProgress(const app::Progress& progress) override { OnProgress(0, progress); }
  void OnRetry(app::RetryKind kind, std::uint32_t address, std::int32_t count) override {
    OnRetry(0, kind, address, count);
  }
  void OnVersion(const std::string& version, std::uint32_t flashSize) override {
    OnVersion(0, version, flashSize);
  }
  void OnMessage(const std::string& text, const std::string& caption) override {
    OnMessage(0, text, caption);
  }

  // The boards of a gang load, each tagged with its port.
  void OnStepStarted(std::size_t board, app::Step step) override;
  void OnStepEnded(std::size_t board, app::Step step, const app::StepOutcome& outcome) override;
  void OnProgress(std::size_t board, const app::Progress& progress) override;
  void OnRetry(std::size_t board, app::RetryKind kind, std::uint32_t address,
               std::int32_t count) override;
  void OnVersion(std::size_t board, const std::string& version, std::uint32_t flashSize) override;
  void OnMessage(std::size_t board, const std::string& text, const std::string& caption) override;
  void OnDone(std::size_t board, const app::BoardResult& result) override;

  // At most this often per board, besides the first and the last of each phase.
  static constexpr auto kProgressInterval = std::chrono::milliseconds(100);

 private:
  struct Board {
    std::chrono::steady_clock::time_point lastProgress{};
    int lastPercent = -1;
  };
  Json Event(const char* name, std::size_t board) const;
  void Write(const Json& event);

  std::ostream& out_;
  std::vector<std::string> ports_;
  Clock clock_;
  std::mutex mutex_;  // the boards of a gang load report from their threads
  std::vector<Board> boards_;
};

// The steps of a result by name, each requested one with its word ("ok", "failed", "skipped").
nlohmann::ordered_json StepsJson(const app::LoadResult& result);
// {"class": ..., "message": ...}, or null for no failure.
nlohmann::ordered_json ErrorJson(const Failure& failure);

}  // namespace vestrel::cli
