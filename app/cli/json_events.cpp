#include "app/cli/json_events.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "app/cli/load_command.h"

namespace vestrel::cli {
namespace {

std::string Hex32(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(value));
  return text;
}

double Rounded(double seconds) {
  return std::round(seconds * 1000.0) / 1000.0;
}

// The steps a load asks for, by name, in the order they run.
nlohmann::ordered_json RequestedSteps(const LoadOptions& load) {
  auto steps = nlohmann::ordered_json::array();
  const auto add = [&steps](app::Step step, bool on) {
    if (on) steps.push_back(app::StepName(step));
  };
  add(app::Step::File, load.file.has_value());
  add(app::Step::Connect, load.Connects() || load.all);
  add(app::Step::Erase, load.all || load.erase);
  add(app::Step::Program, load.all || load.program);
  add(app::Step::Verify, load.all || load.program || load.verify);
  add(app::Step::Run, load.all || load.run);
  add(app::Step::ResetAfter, load.resetAfter.has_value());
  return steps;
}

}  // namespace

nlohmann::ordered_json StepsJson(const app::LoadResult& result) {
  auto steps = nlohmann::ordered_json::object();
  for (app::Step step : app::kSteps)
    if (result[step].requested) steps[app::StepName(step)] = result[step].Word();
  return steps;
}

nlohmann::ordered_json ErrorJson(const Failure& failure) {
  if (failure.error == ErrorClass::None) return nullptr;
  return {{"class", ErrorClassName(failure.error)}, {"message", failure.message}};
}

JsonEvents::JsonEvents(std::ostream& out, std::vector<std::string> ports, Clock clock)
    : out_(out),
      ports_(std::move(ports)),
      clock_(std::move(clock)),
      boards_(std::max<std::size_t>(ports_.size(), 1)) {}

JsonEvents::Json JsonEvents::Event(const char* name, std::size_t board) const {
  Json event = {{"event", name}};
  if (ports_.size() > 1) event["port"] = ports_[board];
  return event;
}

void JsonEvents::Write(const Json& event) {
  std::lock_guard lock(mutex_);
  // A name in another encoding must not make the line invalid: such bytes become U+FFFD.
  out_ << event.dump(-1, ' ', false, Json::error_handler_t::replace) << std::endl;
}

void JsonEvents::Start(const LoadOptions& load) {
  Json event = {{"event", "start"}, {"vestrel", VESTREL_VERSION}};
  event["file"] = load.file ? Json(*load.file) : Json(nullptr);
  event["ports"] = ports_;
  event["baud"] = load.Rate() ? Json(*load.Rate()) : Json(nullptr);
  event["steps"] = RequestedSteps(load);
  Write(event);
}

void JsonEvents::OnStepStarted(std::size_t board, app::Step step) {
  Json event = Event("phase", board);
  event["step"] = app::StepName(step);
  event["state"] = "started";
  Write(event);
}

void JsonEvents::OnStepEnded(std::size_t board, app::Step step, const app::StepOutcome& outcome) {
  Json event = Event("phase", board);
  event["step"] = app::StepName(step);
  event["state"] = "ended";
  event["outcome"] = outcome.Succeeded() ? "ok" : "failed";
  event["error"] = ErrorJson({outcome.error, outcome.message});
  Write(event);
}

void JsonEvents::OnProgress(std::size_t board, const app::Progress& progress) {
  {
    std::lock_guard lock(mutex_);
    Board& b = boards_[board];
    const auto now = clock_();
    const bool due = b.lastPercent < 0 || progress.percent == 100 ||
                     progress.percent < b.lastPercent || now - b.lastProgress >= kProgressInterval;
    if (!due || progress.percent == b.lastPercent) return;
    b.lastProgress = now;
    b.lastPercent = progress.percent == 100 ? -1 : progress.percent;  // a new phase starts afresh
  }
  Json event = Event("progress", board);
  event["phase"] = app::PhaseName(progress.phase);
  event["percent"] = progress.percent;
  if (progress.total != 0) {
    event["address"] = Hex32(progress.address);
    event["done"] = progress.done;
    event["total"] = progress.total;
  }
  Write(event);
}

void JsonEvents::OnRetry(std::size_t board, app::RetryKind kind, std::uint32_t address,
                         std::int32_t count) {
  Json event = Event("retry", board);
  event["kind"] = app::RetryKindName(kind);
  event["address"] = Hex32(address);
  event["count"] = count;
  Write(event);
}

void JsonEvents::OnVersion(std::size_t board, const std::string& version, std::uint32_t flashSize) {
  Json event = Event("version", board);
  event["version"] = version;
  event["flash_size"] = flashSize;
  Write(event);
}

void JsonEvents::OnMessage(std::size_t board, const std::string& text, const std::string& caption) {
  Json event = Event("message", board);
  event["caption"] = caption;
  event["text"] = text;
  Write(event);
}

void JsonEvents::OnDone(std::size_t board, const app::BoardResult& result) {
  Json event = Event("board", board);
  event["port"] = result.port;
  event["ok"] = result.ok();
  event["exit_code"] = result.exitCode;
  event["steps"] = StepsJson(result.load);
  event["error"] = ErrorJson(result.ok() ? Failure{} : result.FirstError());
  event["version"] = result.load.version;
  event["flash_size"] = result.load.flashSize;
  event["retries"] = result.load.retries;
  event["seconds"] = Rounded(result.seconds);
  Write(event);
}

void JsonEvents::Result(const app::LoadResult& result, int exitCode, const Failure& error,
                        double seconds) {
  Json event = {{"event", "result"}, {"ok", exitCode == 0}, {"exit_code", exitCode}};
  event["steps"] = StepsJson(result);
  event["error"] = ErrorJson(error);
  event["version"] = result.version;
  event["flash_size"] = result.flashSize;
  event["used_length"] = result.usedLength;
  event["retries"] = result.retries;
  event["seconds"] = Rounded(seconds);
  Write(event);
}

void JsonEvents::Result(const app::GangOutcome& outcome, int exitCode, const Failure& error,
                        double seconds) {
  Json event = {{"event", "result"}, {"ok", exitCode == 0}, {"exit_code", exitCode}};
  event["steps"] = Json::object();
  const auto failed = std::count_if(outcome.boards.begin(), outcome.boards.end(),
                                    [](const app::BoardResult& board) { return !board.ok(); });
  event["error"] = ErrorJson(error);
  event["boards"] = outcome.boards.size();
  event["failed"] = failed;
  event["seconds"] = Rounded(seconds);
  Write(event);
}

void JsonEvents::Result(int exitCode, const Failure& error) {
  Write({{"event", "result"},
         {"ok", false},
         {"exit_code", exitCode},
         {"steps", Json::object()},
         {"error", ErrorJson(error)}});
}

}  // namespace vestrel::cli
