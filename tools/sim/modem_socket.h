// Where the simulator learns of DTR and RTS changes on its pseudo-terminal, which has no modem
// lines: a Unix socket to which a test's shim in the loader's process reports the loader's
// modem-line calls. Each report is two bytes, the lines it sets (bit 0 DTR, bit 1 RTS) and their
// new states (the same bits); the simulator answers each report with one byte once it has applied
// it, so that the loader goes on only after the board has seen the change.
#pragma once

#include <poll.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tools/sim/reset_circuit.h"

namespace vestrel::sim {

inline constexpr unsigned char kReportDtr = 0x01;
inline constexpr unsigned char kReportRts = 0x02;

class ModemSocket {
 public:
  // Listens at `path` (replacing a stale socket there); null with `error` set on failure.
  static std::unique_ptr<ModemSocket> Listen(const std::string& path, std::string& error);
  ~ModemSocket();  // closes the connections and removes the socket
  ModemSocket(const ModemSocket&) = delete;
  ModemSocket& operator=(const ModemSocket&) = delete;

  // The descriptors to poll for reading.
  void AddPollFds(std::vector<pollfd>& fds) const;
  // After a poll of those descriptors: accepts connections, applies each report through
  // `onChange` (DTR first) and answers it.
  void Handle(const std::vector<pollfd>& fds, const std::function<void(Line, bool)>& onChange);

 private:
  ModemSocket(int listener, std::string path) : listener_(listener), path_(std::move(path)) {}
  void Serve(int fd, const std::function<void(Line, bool)>& onChange);

  int listener_;
  std::string path_;
  std::vector<int> clients_;
};

}  // namespace vestrel::sim
