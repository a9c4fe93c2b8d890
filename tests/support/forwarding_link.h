// A BootLink that forwards to a fake bootloader the test owns, so that the fake outlives the
// window that owns the link.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "protocol/boot_link.h"
#include "tests/support/fake_bootloader.h"

namespace vestrel::test {

class ForwardingLink : public protocol::BootLink {
 public:
  explicit ForwardingLink(FakeBootloader& fake) : fake_(fake) {}
  bool OpenPort(const std::optional<protocol::PortTarget>& port,
                std::optional<std::uint32_t> baudRate) override {
    return fake_.OpenPort(port, baudRate);
  }
  void ClosePort() override { fake_.ClosePort(); }
  bool IsOpen() const override { return fake_.IsOpen(); }
  bool OpenPortIfPresent(const std::optional<protocol::PortTarget>& port,
                         std::optional<std::uint32_t> baudRate, bool& absent) override {
    return fake_.OpenPortIfPresent(port, baudRate, absent);
  }
  std::string SetModemLine(protocol::ModemLine line, bool on) override {
    return fake_.SetModemLine(line, on);
  }
  int SyncProbe() override { return fake_.SyncProbe(); }
  bool BaudSync() override { return fake_.BaudSync(); }
  int SendFrame(std::span<const std::uint8_t> payload) override { return fake_.SendFrame(payload); }
  int ReceiveFrame(std::span<std::uint8_t> buffer) override { return fake_.ReceiveFrame(buffer); }
  void DiscardStaleInput() override { fake_.DiscardStaleInput(); }
  void ExtendNextReplyWait(std::chrono::milliseconds extra) override {
    fake_.ExtendNextReplyWait(extra);
  }
  std::string LinkLostReason() const override { return fake_.LinkLostReason(); }
  ErrorClass LinkLostClass() const override { return fake_.LinkLostClass(); }
  void DeclareLost(ErrorClass error, const std::string& reason) override {
    fake_.DeclareLost(error, reason);
  }
  Failure OpenFailure() const override { return fake_.OpenFailure(); }

 private:
  FakeBootloader& fake_;
};

}  // namespace vestrel::test
