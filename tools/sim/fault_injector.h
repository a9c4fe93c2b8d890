// Decides, reproducibly from a seed, how each reply goes onto the wire: intact, dropped,
// corrupted, truncated, with noise ahead of it, with a wrong read-back word, split into bursts,
// or replaced by a babbling line.
//
// The decisions use a std::mt19937_64 stream, whose output the C++ standard fixes, and draw from
// it in a fixed order per reply, so one seed and one sequence of requests give the same faults
// on every run and every standard library.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "tools/sim/request_receiver.h"

namespace vestrel::sim {

struct FaultConfig {
  // Probabilities per reply, 0 to 1.
  double noise = 0;        // 1..noiseMax random bytes (never the end byte 0x04) ahead of it
  double corrupt = 0;      // one data byte changed, so the checksum fails
  double drop = 0;         // not sent at all
  double badReadback = 0;  // read-memory replies: one data word wrong, checksum correct
  double truncate = 0;     // cut after its first escape byte (else at a random point)
  double babble = 0;       // replaced by start bytes and noise without end until the host sends
  double late = 0;         // sent `lateBy` after it is due: after the host's read time-out
  int noiseMax = 8;
  // The first this many read-memory replies carry a wrong word, whatever the rate.
  unsigned failReadbackTimes = 0;
  // Above zero: the reply is sent in chunks of 1..burstBytes bytes with this gap between them.
  SimDuration burstGap{0};
  unsigned burstBytes = 4;
  SimDuration lateBy = std::chrono::milliseconds(150);
};

struct Transmission {
  std::vector<std::vector<std::uint8_t>> chunks;  // wire bytes; burstGap apart
  SimDuration delay{0};                           // before the first chunk
  bool babble = false;
  std::vector<std::string> faults;  // names of the faults applied, for the log
};

class FaultInjector {
 public:
  FaultInjector(const FaultConfig& config, std::uint64_t seed) : config_(config), rng_(seed) {}

  // How the reply payload to a request with the given command code is sent.
  Transmission Plan(std::uint16_t command, std::vector<std::uint8_t> reply);

  // `count` bytes of a babbling line: start bytes and noise, never an end byte.
  std::vector<std::uint8_t> Babble(std::size_t count);

  const FaultConfig& config() const { return config_; }

 private:
  bool Chance(double rate);
  std::uint64_t Below(std::uint64_t bound);  // uniform in [0, bound), bound > 0
  std::uint8_t NoiseByte();
  void SpoilReadbackWord(std::vector<std::uint8_t>& reply);
  void CorruptByte(std::vector<std::uint8_t>& wire);
  void Truncate(std::vector<std::uint8_t>& wire);
  std::vector<std::vector<std::uint8_t>> Split(const std::vector<std::uint8_t>& wire);

  FaultConfig config_;
  std::mt19937_64 rng_;
  unsigned readbackFailures_ = 0;
};

}  // namespace vestrel::sim
