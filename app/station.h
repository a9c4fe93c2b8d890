// The production bench: every board that appears on a watched port is loaded once per plug-in,
// each with its own data (a serial number) merged into the file's image, and every attempt goes
// into the log before anything else happens. Boards load at once, each on a thread of its own.
//
// The station's parts come in from outside, so that each can be tested and replaced: where the
// ports come from (StationPortSource), one board's load (BoardLoad), the numbers (SerialNumbers),
// the log (StationLog) and what the operator sees (StationListener). Nothing here prints.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/gang_load.h"
#include "app/loader.h"
#include "app/station_log.h"
#include "app/station_serials.h"

namespace vestrel::app {

struct StationPort {
  std::string name;  // as the screen and the log show it
  std::string path;  // what is opened
};

// The ports that are there now, and a wait until that may have changed.
class StationPortSource {
 public:
  virtual ~StationPortSource() = default;
  virtual std::vector<StationPort> Present() = 0;
  virtual void Wait(std::chrono::milliseconds limit) = 0;
};

// The real source: the fixed ports (paths or COMn, looked up in the port map at each scan) and
// the ports that match the patterns (platform/port_watch.h). Also says how it watches.
std::unique_ptr<StationPortSource> WatchStationPorts(const std::vector<std::string>& fixed,
                                                     const std::vector<std::string>& patterns,
                                                     std::string& method);

// One board's load: its port, the file's name and the lines to load (the file's with the
// board's data merged in), progress in blocks. Called on the board's own thread.
struct BoardLoadRequest {
  StationPort port;
  std::string fileName;
  image::FileFormat format = image::FileFormat::Hex;  // what the file was read as
  std::vector<std::string> lines;
};
using BoardLoad = std::function<BoardResult(const BoardLoadRequest&, LoadListener&)>;

// The load of a gang load's board (gang_load.h): the steps, rate and desk options of `steps`,
// and `stop` asked before every request.
BoardLoad GangBoardLoad(LoadRequest steps, std::function<std::string()> stop);

enum class PortPhase {
  Waiting,  // no board
  Present,  // a board that was there before the start (watched ports): not loaded
  Loading,  // percent and serial set
  Ok,       // serial set
  Failed,   // reason set
};

struct PortRow {
  std::string port;
  PortPhase phase = PortPhase::Waiting;
  int percent = 0;
  std::string serial;
  std::string reason;
};

// What the operator sees. Called from the station's and the boards' threads, several at once:
// an implementation locks.
class StationListener {
 public:
  virtual ~StationListener() = default;
  // The ports are watched from now on: a board plugged in from here is loaded.
  virtual void OnWatching() {}
  virtual void OnRow(const PortRow& row) = 0;
  virtual void OnNotice(const std::string& text) = 0;
  // Once a board's row is in the log, on the board's thread (a hook may take its time there).
  virtual void OnResult(const AttemptRecord& record) = 0;
};

struct StationConfig {
  std::string fileName;
  image::FileFormat format = image::FileFormat::Hex;
  std::vector<std::string> lines;  // the file's, read once
  std::string imageSha256;         // of the file's image
  std::uint32_t dataAddress = 0;   // where the board's data goes (with serials)
  std::string stationName;         // the host, for the log
  std::vector<std::string> ports;  // the fixed ports, shown (waiting) before a board is there
  // How long a port must stay before its board is loaded: the adapter's driver, udev's rules
  // and a bouncing connector settle meanwhile.
  std::chrono::milliseconds settle{500};
  // Boards already there at the start are loaded (a rack of fixed ports), or left alone until
  // they are plugged in again (watched ports, which may include other adapters).
  bool loadPresentAtStart = true;
};

struct StationTotals {
  std::size_t ok = 0;
  std::size_t failed = 0;
  std::vector<std::string> burnt;  // board data of failed boards that is not handed out again
};

struct StationEnd {
  std::string fault;  // why the station stopped by itself (log, serials); "" when it was told to
  StationTotals totals;
};

class Station {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;

  // `serials` is null when boards get no data of their own. All references outlive the station.
  Station(StationConfig config, StationPortSource& ports, SerialNumbers* serials, StationLog& log,
          BoardLoad load, StationListener& listener, Clock clock = std::chrono::steady_clock::now,
          std::function<std::chrono::system_clock::time_point()> wallClock =
              std::chrono::system_clock::now);
  ~Station();
  Station(const Station&) = delete;
  Station& operator=(const Station&) = delete;

  // Logs the boards that a station before it left unfinished (`interrupted`: burnt), then
  // loads boards until `stop` gives a reason or a fault stops it, and waits for the loads in
  // progress to end.
  StationEnd Run(const std::vector<BoardData>& interrupted,
                 const std::function<std::string()>& stop);

 private:
  struct Port;
  struct Board;

  void Scan(std::chrono::steady_clock::time_point now, bool first);
  void StartDueBoards(std::chrono::steady_clock::time_point now);
  void StartBoard(Port& port);
  void FinishBoard(Board& board, const BoardResult& result);
  AttemptRecord Record(const Board& board, const BoardResult& result) const;
  std::chrono::milliseconds NextWait(std::chrono::steady_clock::time_point now) const;
  void Show(const Port& port);
  void ReapBoards(bool all);

  StationConfig config_;
  StationPortSource& ports_;
  SerialNumbers* serials_;
  StationLog& log_;
  BoardLoad load_;
  StationListener& listener_;
  Clock clock_;
  std::function<std::chrono::system_clock::time_point()> wallClock_;

  mutable std::mutex mutex_;  // everything below: the boards finish on their threads
  std::vector<std::unique_ptr<Port>> portList_;
  std::vector<std::unique_ptr<Board>> boards_;
  std::string fault_;
  StationTotals totals_;
};

}  // namespace vestrel::app
