// The simulator's own port server: a TCP listener that lends the simulated line to one client at
// a time, as a serial port server (ser2net) does on a real port. With rfc2217:// it speaks the
// telnet COM port option: the line settings it is given go to the pseudo-terminal, where the
// simulator sees them as it sees those of a local host or of ser2net; the modem-line commands,
// which a pseudo-terminal has no place for, go to the simulator (its reset wiring), and break
// and purge commands are logged as given. With socket:// the bytes pass as they are.
#pragma once

#include <poll.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/remote_port.h"
#include "platform/rfc2217.h"
#include "tools/sim/request_log.h"
#include "tools/sim/reset_circuit.h"

namespace vestrel::sim {

// The line settings of a terminal, as the log shows them.
struct LineSettings {
  std::uint32_t baud = 0;
  std::uint64_t dataBits = 8;
  std::string parity = "none";  // none, odd, even, mark, space
  std::uint64_t stopBits = 1;
  std::string flow = "none";  // none, xon/xoff, rts/cts

  bool operator==(const LineSettings&) const = default;
};

std::optional<LineSettings> ReadLineSettings(int fd);

class PortServer {
 public:
  // Events go to `log` without their time, which the caller adds.
  using Logger = std::function<void(JsonLine&)>;
  // A client set DTR or RTS (on: asserted).
  using ModemLineHandler = std::function<void(Line, bool on)>;

  // Serves the terminal `lineFd` (made non-blocking) to clients of `url`.
  PortServer(platform::RemotePortUrl url, int lineFd, Logger log, ModemLineHandler onModemLine);
  ~PortServer();
  PortServer(const PortServer&) = delete;
  PortServer& operator=(const PortServer&) = delete;

  // Binds and listens; the error text on failure.
  std::optional<std::string> Listen();
  // The URL clients connect to, with the port the system picked for port 0.
  std::string Url() const;

  // Appends the descriptors to poll; Service then takes the same entries back from `first` on.
  void AddPollFds(std::vector<pollfd>& fds) const;
  // Serves what the poll reported; true when it changed the line settings.
  bool Service(const std::vector<pollfd>& fds, std::size_t first);

  // Bytes on their way to the client that it has not received yet.
  std::size_t Unsent() const;

  // Ends the client's connection and stops listening (a pulled line).
  void Close();

 private:
  void Accept();
  void Disconnect(const char* why);
  bool ReadClient();
  void ReadLine();
  void WriteLine();
  void WriteClient();
  bool HandleComPort(const platform::telnet::Event& event);
  std::uint8_t Control(std::uint8_t value);
  void Answer(std::uint8_t command, std::uint8_t value);
  void Answer32(std::uint8_t command, std::uint32_t value);

  platform::RemotePortUrl url_;
  int lineFd_;
  Logger log_;
  ModemLineHandler onModemLine_;
  int listener_ = -1;
  int client_ = -1;
  bool comPort_;
  platform::telnet::Decoder decoder_;
  platform::telnet::Negotiator negotiator_;
  std::vector<std::uint8_t> toLine_;    // from the client, for the terminal
  std::vector<std::uint8_t> toClient_;  // encoded, for the client
  bool clientSuspended_ = false;        // the client asked to hold back its data
  bool dtr_ = true;
  bool rts_ = true;
  bool break_ = false;
};

}  // namespace vestrel::sim
