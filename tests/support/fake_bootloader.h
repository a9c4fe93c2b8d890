// A bootloader at frame level for tests: a flash model that answers read version, erase,
// program, read memory and finish, with scripted faults and a record of every request.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "protocol/boot_link.h"

namespace vestrel::test {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::uint32_t kVirtualBase = 0x9D000000;

class FakeBootloader : public protocol::BootLink {
 public:
  // A receive that fails instead of delivering the reply. With replyStays the reply is still
  // on its way (a late reply, or the rest of one cut short by noise) and answers the next
  // receive unless the input is discarded first; otherwise it is lost.
  struct Fault {
    int result;
    bool replyStays;
  };

  // The port starts closed unless `open` is given (frame-level tests need no connect).
  explicit FakeBootloader(std::uint32_t flashSize, bool open = false);

  // --- the device ---
  Bytes flash;                 // starts erased (0xFF)
  std::uint32_t reportedSize;  // the flash size in the version reply
  std::uint8_t major = 1;
  std::uint8_t minor = 3;
  std::uint16_t finishStatus = 0;
  bool syncAnswers = true;
  bool openSucceeds = true;
  std::string lostReason;  // set to play a device that has gone away; every exchange then fails
  ErrorClass lostClass = ErrorClass::LinkLost;  // ... and the class of that loss
  Failure openFailure{ErrorClass::PortUnusable, "Unable to Open COMM Port"};  // a refused open
  int absentOpens = 0;       // this many opens (that may wait) find no device yet
  std::string modemFailure;  // set to play a device without modem lines: every change fails
  // Sees each modem-line change, e.g. to let the bootloader answer after a reset.
  std::function<void(protocol::ModemLine line, bool on)> onModemLine;
  std::function<void()> onSync;  // sees each sync probe and each BaudSync

  // --- scripted faults ---
  std::map<std::uint16_t, std::deque<Fault>> receiveFaults;  // by command of the last request
  std::map<std::uint16_t, int> sendFailures;                 // next n sends of a command fail
  std::map<std::uint32_t, int> wrongReadBacks;  // next n reads of a block return word 5 flipped
  std::map<std::uint16_t, std::size_t> replyPayloadSize;  // replies cut to this many bytes

  // --- what the host did ---
  std::vector<Bytes> requests;
  std::map<std::uint32_t, int> programWrites;  // program requests per block address
  std::vector<std::uint16_t> programCommands;  // command code of each program request
  std::optional<std::uint32_t> finishLength;
  int started = 0;
  int staleAnswers = 0;  // replies that answered a later request than their own
  int discards = 0;
  std::vector<std::chrono::milliseconds> replyWaits;  // what requests gave their replies
  int syncs = 0;
  int probes = 0;
  int opens = 0;
  int closes = 0;
  std::vector<std::string> modemChanges;  // "DTR=1", "RTS=0", ... in order
  std::optional<protocol::PortTarget> lastPort;
  std::optional<std::uint32_t> lastBaud;
  std::function<void(const Bytes& request)> onRequest;  // sees each request as it is sent

  // Requests of one command, in order.
  std::vector<Bytes> RequestsOf(std::uint16_t command) const;

  // protocol::BootLink
  bool OpenPort(const std::optional<protocol::PortTarget>& port,
                std::optional<std::uint32_t> baudRate) override;
  void ClosePort() override {
    open_ = false;
    ++closes;
  }
  bool IsOpen() const override { return open_; }
  bool OpenPortIfPresent(const std::optional<protocol::PortTarget>& port,
                         std::optional<std::uint32_t> baudRate, bool& absent) override;
  std::string SetModemLine(protocol::ModemLine line, bool on) override;
  int SyncProbe() override {
    ++probes;
    if (onSync) onSync();
    return syncAnswers ? 1 : 0;
  }
  bool BaudSync() override;
  int SendFrame(std::span<const std::uint8_t> payload) override;
  int ReceiveFrame(std::span<std::uint8_t> buffer) override;
  void DiscardStaleInput() override;
  void ExtendNextReplyWait(std::chrono::milliseconds extra) override {
    if (extra.count() != 0) replyWaits.push_back(extra);
  }
  std::string LinkLostReason() const override { return lostReason; }
  ErrorClass LinkLostClass() const override {
    return lostReason.empty() ? ErrorClass::None : lostClass;
  }
  void DeclareLost(ErrorClass error, const std::string& reason) override {
    if (!lostReason.empty()) return;
    lostReason = reason;
    lostClass = error;
  }
  Failure OpenFailure() const override { return openFailure; }

 private:
  struct Reply {
    Bytes payload;
    std::size_t request;  // number of the request it answers
  };

  Bytes Answer(std::span<const std::uint8_t> request);
  Bytes ReadMemory(std::uint32_t address, std::size_t words);
  void Program(std::uint32_t address, std::span<const std::uint8_t> data);

  bool open_ = false;
  std::uint16_t lastCommand_ = 0;
  std::deque<Reply> pending_;
};

}  // namespace vestrel::test
