// The simulated bootloader's state and command handling, free of any I/O.
//
// The model receives request payloads (checksum already tested and removed), validates each one
// strictly against the command table, applies it to a NOR-flash model and builds the reply
// payload. An invalid request changes nothing and gets no reply; the outcome says why.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace vestrel::sim {

inline constexpr std::uint32_t kFlashWindowBase = 0x9D000000;
// The flash window must end at or below 2^32: 0x9D000000 + size <= 0x1'0000'0000.
inline constexpr std::uint32_t kMaxFlashSize = 0x63000000;

enum class Command : std::uint16_t {
  kStartApplication = 0x0000,
  kReadMemory = 0x0001,
  kProgramBlock = 0x0002,
  kEraseFlash = 0x0003,
  kFinishProgram = 0x0008,
  kReadVersion = 0x0009,
  kProgramBlankBlock = 0x0022,
};

// Status words of the finish reply.
inline constexpr std::uint16_t kStatusSuccess = 0x0000;
inline constexpr std::uint16_t kStatusNotErased = 0x0045;      // 'E'
inline constexpr std::uint16_t kStatusNotProgrammed = 0x0047;  // 'G'

// A readable name for a command code ("program", "unknown" ...).
std::string CommandName(std::uint16_t code);

struct ModelConfig {
  std::uint32_t flashSize = 0x80000;
  std::uint8_t versionMajor = 1;
  std::uint8_t versionMinor = 0;
  // Answers every finish with this status instead of the model's own, as a bootloader that
  // refuses the closing report does.
  std::optional<std::uint16_t> finishStatus;
};

// What one request did; the front end logs it and sends the reply.
struct RequestOutcome {
  std::uint16_t command = 0;             // code as received (0 when the payload is too short)
  std::optional<std::uint32_t> address;  // address or argument field, when present
  std::optional<std::uint32_t> count;    // second field (word count for read/program)
  std::optional<std::string> violation;  // set when the request broke the frame/command rules
  std::optional<std::uint16_t> status;   // finish status word
  std::optional<std::vector<std::uint8_t>> reply;  // reply payload; empty optional: no reply
  bool startsApplication = false;

  bool valid() const { return !violation.has_value(); }
};

class BootloaderModel {
 public:
  explicit BootloaderModel(const ModelConfig& config);

  // Handles one request payload (without checksum).
  RequestOutcome Handle(std::span<const std::uint8_t> payload);

  // Replaces the flash contents from the start; bytes past `contents` stay as they were.
  // Fails (returns false) when `contents` is larger than the flash.
  bool LoadFlash(std::span<const std::uint8_t> contents);

  std::span<const std::uint8_t> flash() const { return flash_; }
  const ModelConfig& config() const { return config_; }
  bool erasedSinceStart() const { return erased_; }
  bool programmedSinceErase() const { return programmed_; }
  // The used length of the image from the last valid finish request.
  std::optional<std::uint32_t> usedLength() const { return usedLength_; }

 private:
  std::optional<std::string> Validate(std::span<const std::uint8_t> payload,
                                      RequestOutcome& outcome) const;
  std::optional<std::string> ValidateRange(std::uint32_t address, std::uint32_t words) const;
  void Apply(std::span<const std::uint8_t> payload, RequestOutcome& outcome);

  ModelConfig config_;
  std::vector<std::uint8_t> flash_;
  bool erased_ = false;
  bool programmed_ = false;
  std::optional<std::uint32_t> usedLength_;
};

// Little-endian field access shared by the model, the faults and the tests.
std::uint16_t ReadLe16(std::span<const std::uint8_t> bytes, std::size_t offset);
std::uint32_t ReadLe32(std::span<const std::uint8_t> bytes, std::size_t offset);
void AppendLe16(std::vector<std::uint8_t>& out, std::uint16_t value);
void AppendLe32(std::vector<std::uint8_t>& out, std::uint32_t value);

}  // namespace vestrel::sim
