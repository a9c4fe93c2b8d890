#include "tools/sim/fault_injector.h"

#include <algorithm>

#include "protocol/frame.h"
#include "tools/sim/bootloader_model.h"

namespace vestrel::sim {
namespace {

constexpr std::size_t kReadHeaderSize = 8;

// Indexes of the wire bytes that carry a data value unescaped (payload or checksum), after the
// start bytes and before the end byte.
std::vector<std::size_t> PlainDataPositions(const std::vector<std::uint8_t>& wire) {
  std::vector<std::size_t> positions;
  for (std::size_t i = protocol::kStartByteCount; i + 1 < wire.size(); ++i) {
    if (wire[i] == protocol::kEscapeByte) {
      ++i;  // skip the escaped byte too
    } else {
      positions.push_back(i);
    }
  }
  return positions;
}

}  // namespace

bool FaultInjector::Chance(double rate) {
  // 53 random bits give a uniform double in [0, 1); always one draw, so rates set to 0 do not
  // change what other faults decide.
  const double draw = static_cast<double>(rng_() >> 11) * 0x1.0p-53;
  return draw < rate;
}

std::uint64_t FaultInjector::Below(std::uint64_t bound) {
  return rng_() % bound;
}

std::uint8_t FaultInjector::NoiseByte() {
  auto value = static_cast<std::uint8_t>(Below(255));
  return value >= protocol::kEndByte ? static_cast<std::uint8_t>(value + 1) : value;
}

Transmission FaultInjector::Plan(std::uint16_t command, std::vector<std::uint8_t> reply) {
  Transmission out;
  if (Chance(config_.drop)) {
    out.faults.push_back("drop");
    return out;
  }
  if (Chance(config_.babble)) {
    out.faults.push_back("babble");
    out.babble = true;
    return out;
  }
  const bool spoilChance = Chance(config_.badReadback);
  if (command == static_cast<std::uint16_t>(Command::kReadMemory) &&
      reply.size() > kReadHeaderSize &&
      (readbackFailures_ < config_.failReadbackTimes || spoilChance)) {
    ++readbackFailures_;
    SpoilReadbackWord(reply);
    out.faults.push_back("bad-readback");
  }
  std::vector<std::uint8_t> wire = protocol::EncodeFrame(reply);
  if (Chance(config_.corrupt)) {
    CorruptByte(wire);
    out.faults.push_back("corrupt");
  }
  if (Chance(config_.truncate)) {
    Truncate(wire);
    out.faults.push_back("truncate");
  }
  if (Chance(config_.noise)) {
    std::vector<std::uint8_t> noise(1 + Below(static_cast<std::uint64_t>(config_.noiseMax)));
    for (auto& b : noise) b = NoiseByte();
    wire.insert(wire.begin(), noise.begin(), noise.end());
    out.faults.push_back("noise");
  }
  out.chunks = Split(wire);
  if (out.chunks.size() > 1) out.faults.push_back("burst");
  if (Chance(config_.late)) {  // drawn last: the other faults of a seed stay as they were
    out.delay = config_.lateBy;
    out.faults.push_back("late");
  }
  return out;
}

void FaultInjector::SpoilReadbackWord(std::vector<std::uint8_t>& reply) {
  const std::size_t words = (reply.size() - kReadHeaderSize) / 4;
  const std::size_t offset = kReadHeaderSize + 4 * static_cast<std::size_t>(Below(words));
  const auto mask = static_cast<std::uint32_t>(1 + Below(0xFFFFFFFF));  // never 0
  for (std::size_t k = 0; k < 4; ++k)
    reply[offset + k] ^= static_cast<std::uint8_t>(mask >> (8 * k));
}

void FaultInjector::CorruptByte(std::vector<std::uint8_t>& wire) {
  const auto positions = PlainDataPositions(wire);
  if (positions.empty()) return;
  const std::size_t at = positions[Below(positions.size())];
  // A plain data byte changed into another plain value: the frame keeps its shape and the
  // checksum fails, so the host sees a checksum error rather than some other symptom.
  std::uint8_t value;
  do {
    value = static_cast<std::uint8_t>(wire[at] ^ (1 + Below(255)));
  } while (protocol::NeedsEscape(value));
  wire[at] = value;
}

void FaultInjector::Truncate(std::vector<std::uint8_t>& wire) {
  for (std::size_t i = protocol::kStartByteCount; i + 1 < wire.size(); ++i) {
    if (wire[i] == protocol::kEscapeByte) {
      wire.resize(i + 1);  // the sender stops right after an escape byte
      return;
    }
  }
  // Keep the start bytes and at least one more byte; always lose the end byte.
  const std::size_t minimum = protocol::kStartByteCount + 1;
  wire.resize(minimum + Below(wire.size() - minimum));
}

std::vector<std::vector<std::uint8_t>> FaultInjector::Split(const std::vector<std::uint8_t>& wire) {
  if (config_.burstGap.count() <= 0) return {wire};
  std::vector<std::vector<std::uint8_t>> chunks;
  for (std::size_t at = 0; at < wire.size();) {
    const std::size_t size = std::min<std::size_t>(1 + Below(config_.burstBytes), wire.size() - at);
    chunks.emplace_back(wire.begin() + static_cast<std::ptrdiff_t>(at),
                        wire.begin() + static_cast<std::ptrdiff_t>(at + size));
    at += size;
  }
  return chunks;
}

std::vector<std::uint8_t> FaultInjector::Babble(std::size_t count) {
  std::vector<std::uint8_t> bytes(count);
  for (auto& b : bytes) b = Chance(0.5) ? protocol::kStartByte : NoiseByte();
  return bytes;
}

}  // namespace vestrel::sim
