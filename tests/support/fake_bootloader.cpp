#include "tests/support/fake_bootloader.h"

#include <algorithm>

#include "protocol/frame.h"

namespace vestrel::test {
namespace {

std::uint32_t Get16(std::span<const std::uint8_t> b, std::size_t at) {
  return static_cast<std::uint32_t>(b[at] | b[at + 1] << 8);
}

std::uint32_t Get32(std::span<const std::uint8_t> b, std::size_t at) {
  return Get16(b, at) | Get16(b, at + 2) << 16;
}

void Put32(Bytes& out, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8)
    out.push_back(static_cast<std::uint8_t>(value >> shift));
}

}  // namespace

FakeBootloader::FakeBootloader(std::uint32_t flashSize, bool open)
    : flash(flashSize, 0xFF), reportedSize(flashSize), open_(open) {}

std::vector<Bytes> FakeBootloader::RequestsOf(std::uint16_t command) const {
  std::vector<Bytes> out;
  for (const auto& r : requests) {
    if (Get16(r, 0) == command) out.push_back(r);
  }
  return out;
}

bool FakeBootloader::OpenPort(const std::optional<protocol::PortTarget>& port,
                              std::optional<std::uint32_t> baudRate) {
  if (open_) return true;
  ++opens;
  lostReason.clear();
  lastPort = port;
  lastBaud = baudRate;
  open_ = openSucceeds && port && baudRate;
  return open_;
}

bool FakeBootloader::OpenPortIfPresent(const std::optional<protocol::PortTarget>& port,
                                       std::optional<std::uint32_t> baudRate, bool& absent) {
  absent = absentOpens > 0;
  if (absent) {
    --absentOpens;
    lastPort = port;
    return false;
  }
  return OpenPort(port, baudRate);
}

std::string FakeBootloader::SetModemLine(protocol::ModemLine line, bool on) {
  if (!open_) return "The port is not open.";
  if (!modemFailure.empty()) return modemFailure;
  modemChanges.push_back(std::string(protocol::ModemLineName(line)) + (on ? "=1" : "=0"));
  if (onModemLine) onModemLine(line, on);
  return {};
}

bool FakeBootloader::BaudSync() {
  ++syncs;
  if (onSync) onSync();
  return syncAnswers;
}

int FakeBootloader::SendFrame(std::span<const std::uint8_t> payload) {
  if (!open_ || !lostReason.empty() || payload.size() < 4) return protocol::kReadFailed;
  lastCommand_ = static_cast<std::uint16_t>(Get16(payload, 0));
  if (int& failures = sendFailures[lastCommand_]; failures > 0) {
    --failures;
    return protocol::kReadFailed;
  }
  requests.emplace_back(payload.begin(), payload.end());
  if (onRequest) onRequest(requests.back());
  if (lastCommand_ != 0x0000) {
    Bytes answer = Answer(payload);
    if (auto cut = replyPayloadSize.find(lastCommand_); cut != replyPayloadSize.end()) {
      answer.resize(std::min(answer.size(), cut->second));
    }
    pending_.push_back({std::move(answer), requests.size()});
  } else {
    ++started;
  }
  return static_cast<int>(payload.size());
}

int FakeBootloader::ReceiveFrame(std::span<std::uint8_t> buffer) {
  if (!open_ || !lostReason.empty()) return protocol::kReadFailed;
  if (pending_.empty()) return protocol::kTimedOut;
  if (auto& faults = receiveFaults[lastCommand_]; !faults.empty()) {
    const Fault fault = faults.front();
    faults.pop_front();
    if (!fault.replyStays) pending_.pop_front();
    return fault.result;
  }
  const Reply reply = pending_.front();
  pending_.pop_front();
  if (reply.request != requests.size()) ++staleAnswers;
  if (reply.payload.size() + 1 > buffer.size()) return protocol::kFrameTooLong;
  std::copy(reply.payload.begin(), reply.payload.end(), buffer.begin());
  buffer[reply.payload.size()] = protocol::FrameChecksum(reply.payload);
  return static_cast<int>(reply.payload.size() + 1);
}

void FakeBootloader::DiscardStaleInput() {
  ++discards;
  pending_.clear();
}

Bytes FakeBootloader::Answer(std::span<const std::uint8_t> request) {
  const std::uint16_t command = lastCommand_;
  const std::size_t words = Get16(request, 2);
  Bytes reply;
  switch (command) {
    case 0x0009:
      Put32(reply, reportedSize);
      reply.push_back(minor);
      reply.push_back(major);
      reply.insert(reply.end(), 2, 0);
      break;
    case 0x0003:
      std::fill(flash.begin(), flash.end(), std::uint8_t{0xFF});
      reply = {0x03, 0x00, 0x00, 0x00};
      break;
    case 0x0002:
    case 0x0022: {
      const std::uint32_t address = Get32(request, 4);
      programCommands.push_back(command);
      ++programWrites[address];
      Program(address, request.subspan(8));
      reply = {static_cast<std::uint8_t>(command), 0x00, 0x00, 0x00};
      break;
    }
    case 0x0001:
      reply = ReadMemory(Get32(request, 4), words);
      break;
    case 0x0008:
      finishLength = Get32(request, 4);
      reply = {static_cast<std::uint8_t>(finishStatus),
               static_cast<std::uint8_t>(finishStatus >> 8), 0x00, 0x00};
      break;
    default:
      break;
  }
  return reply;
}

Bytes FakeBootloader::ReadMemory(std::uint32_t address, std::size_t words) {
  Bytes reply = {0x01, 0x00, 0x00, 0x00};
  Put32(reply, address);
  const std::size_t offset = address - kVirtualBase;
  for (std::size_t i = 0; i < words * 4; ++i) {
    reply.push_back(offset + i < flash.size() ? flash[offset + i] : 0xFF);
  }
  if (int& wrong = wrongReadBacks[address]; wrong > 0 && words > 5) {
    --wrong;
    reply[8 + 5 * 4] ^= 0x01;
  }
  return reply;
}

void FakeBootloader::Program(std::uint32_t address, std::span<const std::uint8_t> data) {
  const std::size_t offset = address - kVirtualBase;
  for (std::size_t i = 0; i < data.size() && offset + i < flash.size(); ++i) {
    flash[offset + i] = data[i];
  }
}

}  // namespace vestrel::test
