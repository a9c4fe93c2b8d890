#include "app/station.h"

#include <algorithm>

#include "image/board_data.h"
#include "platform/port_map.h"
#include "platform/port_watch.h"
#include "protocol/serial_loader_link.h"

namespace vestrel::app {
namespace {

// A rescan at least this often, whatever the watch says.
constexpr std::chrono::milliseconds kRescan{1000};
constexpr const char* kWindowsDevicePrefix = "\\\\.\\";

// The number of "COM3" (any case, 1 to 256), or 0 for any other name.
unsigned ComNumber(const std::string& name) {
  if (name.size() < 4 || name.size() > 6 ||
      name.find_first_not_of("0123456789", 3) != std::string::npos)
    return 0;
  const std::string prefix = name.substr(0, 3);
  if (prefix != "COM" && prefix != "com" && prefix != "Com") return 0;
  const unsigned long number = std::stoul(name.substr(3));
  return number >= 1 && number <= platform::kMaxPortNumber ? static_cast<unsigned>(number) : 0;
}

// A matched Windows device (\\.\COM5) shows as its COM name.
std::string DisplayName(const std::string& path) {
  const std::string prefix = kWindowsDevicePrefix;
  return path.compare(0, prefix.size(), prefix) == 0 ? path.substr(prefix.size()) : path;
}

class PlatformPortSource final : public StationPortSource {
 public:
  PlatformPortSource(std::vector<std::string> fixed, std::vector<std::string> patterns)
      : fixed_(std::move(fixed)), patterns_(std::move(patterns)) {
    watch_ = platform::WatchPorts(WatchedPaths());
  }

  std::vector<StationPort> Present() override {
    std::vector<StationPort> present;
    const std::vector<std::string> paths = WatchedPaths();
    // A fixed port keeps its name (COM3); a matched one is named by its path.
    for (std::size_t i = 0; i < fixed_.size(); ++i)
      if (!platform::PresentPorts({paths[i]}).empty()) present.push_back({fixed_[i], paths[i]});
    for (const std::string& path : platform::PresentPorts(patterns_))
      if (std::none_of(present.begin(), present.end(),
                       [&](const StationPort& p) { return p.path == path; }))
        present.push_back({DisplayName(path), path});
    return present;
  }

  void Wait(std::chrono::milliseconds limit) override { watch_->Wait(limit); }
  std::string Method() const { return watch_->Method(); }

 private:
  // The fixed ports' device paths (in their order), then the patterns.
  std::vector<std::string> WatchedPaths() const {
    std::vector<std::string> paths;
    std::optional<platform::PortMap> map;  // looked at only for COMn names
    for (const std::string& name : fixed_) {
      const unsigned number = ComNumber(name);
      if (number && !map) map = platform::PortMap::FromEnvironment();
      paths.push_back(number ? map->DevicePath(number).value_or(name) : name);
    }
    paths.insert(paths.end(), patterns_.begin(), patterns_.end());
    return paths;
  }

  std::vector<std::string> fixed_;
  std::vector<std::string> patterns_;
  std::unique_ptr<platform::PortWatch> watch_;
};

// Keeps a board's progress on its row: the program pass and the verify pass are one half each.
class BoardProgress final : public LoadListener {
 public:
  explicit BoardProgress(std::function<void(int)> show) : show_(std::move(show)) {}
  void OnProgress(const Progress& progress) override {
    if (progress.total == 0) return;
    const std::uint64_t half = std::uint64_t{progress.done} * 50 / progress.total;
    const int percent = static_cast<int>(progress.phase == Phase::Program ? half : 50 + half);
    if (percent != last_) show_(last_ = percent);
  }

 private:
  std::function<void(int)> show_;
  int last_ = -1;
};

// A board's progress from the gang load's events; the result carries the errors.
class ProgressOnly final : public GangListener {
 public:
  explicit ProgressOnly(LoadListener& progress) : progress_(progress) {}
  void OnProgress(std::size_t, const Progress& progress) override {
    progress_.OnProgress(progress);
  }

 private:
  LoadListener& progress_;
};

}  // namespace

std::unique_ptr<StationPortSource> WatchStationPorts(const std::vector<std::string>& fixed,
                                                     const std::vector<std::string>& patterns,
                                                     std::string& method) {
  auto source = std::make_unique<PlatformPortSource>(fixed, patterns);
  method = source->Method();
  return source;
}

BoardLoad GangBoardLoad(LoadRequest steps, std::function<std::string()> stop) {
  return [steps = std::move(steps), stop = std::move(stop)](const BoardLoadRequest& request,
                                                            LoadListener& progress) {
    GangJob job;
    job.portNames = {request.port.name};
    job.targets = {{request.port.name, request.port.path}};
    job.hexFile = request.fileName;
    job.request = steps;
    job.stop = stop;
    ProgressOnly events(progress);
    return LoadBoard(job, 0, request.lines, request.format, events);
  };
}

struct Station::Port {
  StationPort port;
  bool present = false;
  bool loading = false;
  bool goneDuringLoad = false;
  bool due = false;  // a board is there and not yet loaded
  std::chrono::steady_clock::time_point appeared{};
  PortRow row;
};

struct Station::Board {
  Port* port = nullptr;
  std::optional<BoardData> data;
  std::string adapterSerial;
  std::chrono::system_clock::time_point started{};
  std::thread thread;
  bool done = false;
};

Station::Station(StationConfig config, StationPortSource& ports, SerialNumbers* serials,
                 StationLog& log, BoardLoad load, StationListener& listener, Clock clock,
                 std::function<std::chrono::system_clock::time_point()> wallClock)
    : config_(std::move(config)),
      ports_(ports),
      serials_(serials),
      log_(log),
      load_(std::move(load)),
      listener_(listener),
      clock_(std::move(clock)),
      wallClock_(std::move(wallClock)) {}

Station::~Station() {
  ReapBoards(true);
}

StationEnd Station::Run(const std::vector<BoardData>& interrupted,
                        const std::function<std::string()>& stop) {
  for (const BoardData& data : interrupted) {
    AttemptRecord record;
    record.time = wallClock_();
    record.station = config_.stationName;
    record.boardSerial = data.text;
    record.serialStatus = "burnt";
    record.imageSha256 = config_.imageSha256;
    record.result = "interrupted";
    record.message = "the station ended during this board's load; its number stays used";
    if (const std::string why = log_.Append(record); !why.empty()) return {why, totals_};
    totals_.burnt.push_back(data.text);
  }
  if (!interrupted.empty() && serials_) {
    if (const std::string why = serials_->ForgetInterrupted(); !why.empty()) return {why, totals_};
  }
  for (const std::string& name : config_.ports) {
    auto port = std::make_unique<Port>();
    port->port.name = port->row.port = name;
    Show(*port);
    portList_.push_back(std::move(port));
  }
  Scan(clock_(), true);
  listener_.OnWatching();
  while (true) {
    {
      std::lock_guard lock(mutex_);
      if (!fault_.empty()) break;
    }
    if (!stop().empty()) break;
    const auto now = clock_();
    Scan(now, false);
    StartDueBoards(now);
    ReapBoards(false);
    ports_.Wait(NextWait(clock_()));
  }
  ReapBoards(true);
  std::lock_guard lock(mutex_);
  return {fault_, totals_};
}

void Station::Scan(std::chrono::steady_clock::time_point now, bool first) {
  const std::vector<StationPort> present = ports_.Present();
  std::lock_guard lock(mutex_);
  for (auto& port : portList_) {
    const bool there = std::any_of(present.begin(), present.end(),
                                   [&](const StationPort& p) { return p.name == port->port.name; });
    if (there || !port->present) continue;
    port->present = false;
    port->due = false;
    if (port->loading) {
      port->goneDuringLoad = true;
    } else if (port->row.phase != PortPhase::Ok && port->row.phase != PortPhase::Failed) {
      port->row.phase = PortPhase::Waiting;  // a result stays on the row until the next board
      Show(*port);
    }
  }
  for (const StationPort& seen : present) {
    auto it = std::find_if(portList_.begin(), portList_.end(),
                           [&](const auto& p) { return p->port.name == seen.name; });
    if (it == portList_.end()) {
      portList_.push_back(std::make_unique<Port>());
      it = std::prev(portList_.end());
      (*it)->port = seen;
      (*it)->row.port = seen.name;
    }
    Port& port = **it;
    if (port.present) continue;
    port.present = true;
    port.port.path = seen.path;  // a COMn may lead elsewhere now
    port.appeared = now;
    if (first && !config_.loadPresentAtStart) {
      port.row.phase = PortPhase::Present;
      Show(port);
    } else if (!port.loading) {
      port.due = true;
    }
  }
}

void Station::StartDueBoards(std::chrono::steady_clock::time_point now) {
  std::lock_guard lock(mutex_);
  for (auto& port : portList_) {
    if (!fault_.empty()) return;
    if (port->due && now - port->appeared >= config_.settle) StartBoard(*port);
  }
}

// Called with the lock held.
void Station::StartBoard(Port& port) {
  port.due = false;
  auto board = std::make_unique<Board>();
  board->port = &port;
  if (serials_) {
    std::string why;
    board->data = serials_->Reserve(why);
    if (!board->data) {
      fault_ = why + "; no board is loaded without its number";
      return;
    }
  }
  board->adapterSerial = platform::UsbSerialNumber(port.port.path);
  board->started = wallClock_();
  port.loading = true;
  port.goneDuringLoad = false;
  port.row = {port.port.name, PortPhase::Loading, 0, board->data ? board->data->text : "", ""};
  Show(port);

  BoardLoadRequest request{port.port, config_.fileName, config_.format, config_.lines};
  if (board->data)
    request.lines = image::MergeRecords(
        config_.lines, image::DataRecords(config_.dataAddress, board->data->bytes));
  Board& started = *board;
  boards_.push_back(std::move(board));
  started.thread = std::thread([this, &started, request = std::move(request)] {
    BoardProgress progress([this, &started](int percent) {
      std::lock_guard lock(mutex_);
      started.port->row.percent = percent;
      Show(*started.port);
    });
    FinishBoard(started, load_(request, progress));
  });
}

AttemptRecord Station::Record(const Board& board, const BoardResult& result) const {
  AttemptRecord record;
  record.time = board.started;
  record.station = config_.stationName;
  record.port = board.port->port.name;
  record.adapterSerial = board.adapterSerial;
  record.imageSha256 = config_.imageSha256;
  record.result = result.ok() ? "ok" : "failed";
  if (!result.ok()) {
    record.errorClass = ErrorClassName(result.FirstError().error);
    record.message = result.FirstErrorLine();
  }
  record.seconds = result.seconds;
  record.retries = result.load.retries;
  if (board.data) {
    record.boardSerial = board.data->text;
    record.serialStatus = result.ok()                            ? "written"
                          : serials_ && serials_->ReusesFailed() ? "reusable"
                                                                 : "burnt";
  }
  return record;
}

void Station::FinishBoard(Board& board, const BoardResult& result) {
  const AttemptRecord record = Record(board, result);
  {
    std::lock_guard lock(mutex_);
    Port& port = *board.port;
    if (const std::string why = log_.Append(record); why.empty()) {
      // Only a logged board settles its number: one that is not in the log stays pending, and
      // the next start logs it as burnt.
      if (board.data && serials_) {
        if (const std::string settled = serials_->Settle(*board.data, result.ok());
            !settled.empty())
          fault_ = settled;
      }
    } else {
      fault_ = "cannot write the log (" + why + "); the station stops loading boards";
    }
    if (result.ok()) {
      ++totals_.ok;
    } else {
      ++totals_.failed;
      if (record.serialStatus == "burnt") totals_.burnt.push_back(record.boardSerial);
    }
    port.loading = false;
    port.row.phase = result.ok() ? PortPhase::Ok : PortPhase::Failed;
    port.row.reason = record.message;
    Show(port);
    // A board pulled during its load makes way for the next one, which may be there already.
    if (port.goneDuringLoad && port.present) {
      port.due = true;
      port.appeared = clock_();
    }
    if (!fault_.empty()) listener_.OnNotice(fault_);
  }
  listener_.OnResult(record);
  std::lock_guard lock(mutex_);
  board.done = true;
}

std::chrono::milliseconds Station::NextWait(std::chrono::steady_clock::time_point now) const {
  auto wait = kRescan;
  std::lock_guard lock(mutex_);
  for (const auto& port : portList_) {
    if (!port->due) continue;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(port->appeared +
                                                                            config_.settle - now);
    wait = std::min(wait, std::max(left, std::chrono::milliseconds(1)));
  }
  return wait;
}

void Station::Show(const Port& port) {
  listener_.OnRow(port.row);
}

void Station::ReapBoards(bool all) {
  std::vector<std::unique_ptr<Board>> finished;
  {
    std::lock_guard lock(mutex_);
    auto split = std::stable_partition(boards_.begin(), boards_.end(),
                                       [all](const auto& b) { return !(all || b->done); });
    std::move(split, boards_.end(), std::back_inserter(finished));
    boards_.erase(split, boards_.end());
  }
  for (auto& board : finished)
    if (board->thread.joinable()) board->thread.join();
}

}  // namespace vestrel::app
