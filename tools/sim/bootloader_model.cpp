#include "tools/sim/bootloader_model.h"

#include <algorithm>
#include <cstdio>

namespace vestrel::sim {
namespace {

constexpr std::size_t kHeaderSize = 4;
constexpr std::size_t kAddressedHeaderSize = 8;

std::string Hex(std::uint32_t value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%0*X", digits, value);
  return text;
}

bool IsKnown(std::uint16_t code) {
  switch (static_cast<Command>(code)) {
    case Command::kStartApplication:
    case Command::kReadMemory:
    case Command::kProgramBlock:
    case Command::kEraseFlash:
    case Command::kFinishProgram:
    case Command::kReadVersion:
    case Command::kProgramBlankBlock:
      return true;
  }
  return false;
}

// The fixed second field and payload size of the commands without data words.
struct FixedShape {
  std::uint16_t secondField;
  std::size_t size;
};

std::optional<FixedShape> FixedShapeOf(Command command) {
  switch (command) {
    case Command::kStartApplication:
      return FixedShape{0, kHeaderSize};
    case Command::kEraseFlash:
      return FixedShape{2, kHeaderSize};
    case Command::kReadVersion:
      return FixedShape{2, kHeaderSize};
    case Command::kFinishProgram:
      return FixedShape{4, kAddressedHeaderSize};
    default:
      return std::nullopt;
  }
}

bool AllBlank(std::span<const std::uint8_t> data) {
  return std::all_of(data.begin(), data.end(), [](std::uint8_t b) { return b == 0xFF; });
}

}  // namespace

std::uint16_t ReadLe16(std::span<const std::uint8_t> bytes, std::size_t offset) {
  return static_cast<std::uint16_t>(bytes[offset] | (bytes[offset + 1] << 8));
}

std::uint32_t ReadLe32(std::span<const std::uint8_t> bytes, std::size_t offset) {
  return static_cast<std::uint32_t>(bytes[offset]) |
         (static_cast<std::uint32_t>(bytes[offset + 1]) << 8) |
         (static_cast<std::uint32_t>(bytes[offset + 2]) << 16) |
         (static_cast<std::uint32_t>(bytes[offset + 3]) << 24);
}

void AppendLe16(std::vector<std::uint8_t>& out, std::uint16_t value) {
  out.push_back(static_cast<std::uint8_t>(value));
  out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void AppendLe32(std::vector<std::uint8_t>& out, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8)
    out.push_back(static_cast<std::uint8_t>(value >> shift));
}

std::string CommandName(std::uint16_t code) {
  if (!IsKnown(code)) return "unknown";
  switch (static_cast<Command>(code)) {
    case Command::kStartApplication:
      return "start-application";
    case Command::kReadMemory:
      return "read-memory";
    case Command::kProgramBlock:
      return "program";
    case Command::kEraseFlash:
      return "erase";
    case Command::kFinishProgram:
      return "finish";
    case Command::kReadVersion:
      return "read-version";
    case Command::kProgramBlankBlock:
      return "program-blank";
  }
  return "unknown";
}

BootloaderModel::BootloaderModel(const ModelConfig& config)
    : config_(config), flash_(config.flashSize, 0xFF) {}

bool BootloaderModel::LoadFlash(std::span<const std::uint8_t> contents) {
  if (contents.size() > flash_.size()) return false;
  std::copy(contents.begin(), contents.end(), flash_.begin());
  return true;
}

RequestOutcome BootloaderModel::Handle(std::span<const std::uint8_t> payload) {
  RequestOutcome outcome;
  outcome.violation = Validate(payload, outcome);
  if (outcome.valid()) Apply(payload, outcome);
  return outcome;
}

std::optional<std::string> BootloaderModel::ValidateRange(std::uint32_t address,
                                                          std::uint32_t words) const {
  if (address % 4 != 0) return "address " + Hex(address, 8) + " is not word-aligned";
  const std::uint64_t end = std::uint64_t{kFlashWindowBase} + config_.flashSize;
  const std::uint64_t last = std::uint64_t{address} + std::uint64_t{words} * 4;
  if (address < kFlashWindowBase || last > end) {
    return "words " + Hex(address, 8) + ".." + Hex(static_cast<std::uint32_t>(last - 1), 8) +
           " lie outside the flash window " + Hex(kFlashWindowBase, 8) + ".." +
           Hex(static_cast<std::uint32_t>(end - 1), 8);
  }
  return std::nullopt;
}

std::optional<std::string> BootloaderModel::Validate(std::span<const std::uint8_t> payload,
                                                     RequestOutcome& outcome) const {
  if (payload.size() < kHeaderSize) {
    return "payload of " + std::to_string(payload.size()) +
           " bytes is shorter than the 4-byte header";
  }
  outcome.command = ReadLe16(payload, 0);
  const std::uint16_t second = ReadLe16(payload, 2);
  outcome.count = second;
  if (payload.size() >= kAddressedHeaderSize) outcome.address = ReadLe32(payload, 4);
  if (!IsKnown(outcome.command)) return "unknown command " + Hex(outcome.command, 4);

  const auto command = static_cast<Command>(outcome.command);
  if (const auto shape = FixedShapeOf(command)) {
    if (second != shape->secondField) {
      return "second field " + std::to_string(second) + ", expected " +
             std::to_string(shape->secondField);
    }
    if (payload.size() != shape->size) {
      return "payload of " + std::to_string(payload.size()) + " bytes, expected " +
             std::to_string(shape->size);
    }
    if (command == Command::kFinishProgram && *outcome.address > config_.flashSize) {
      return "used length " + Hex(*outcome.address, 8) + " exceeds the flash size " +
             Hex(config_.flashSize, 8);
    }
    return std::nullopt;
  }

  // Read memory and the two program commands carry a word count and an address.
  if (second == 0) return "word count 0";
  const std::size_t expected =
      kAddressedHeaderSize + (command == Command::kReadMemory ? 0 : std::size_t{second} * 4);
  if (payload.size() != expected) {
    return "payload of " + std::to_string(payload.size()) + " bytes, expected " +
           std::to_string(expected) + " for " + std::to_string(second) + " words";
  }
  if (auto range = ValidateRange(*outcome.address, second)) return range;
  if (command == Command::kReadMemory) return std::nullopt;

  const bool blank = AllBlank(payload.subspan(kAddressedHeaderSize));
  if (command == Command::kProgramBlankBlock && !blank) {
    return "blank-block command 0x0022 carries words other than 0xFFFFFFFF";
  }
  if (command == Command::kProgramBlock && blank) {
    return "program command 0x0002 carries only blank words (0x0022 expected)";
  }
  return std::nullopt;
}

void BootloaderModel::Apply(std::span<const std::uint8_t> payload, RequestOutcome& outcome) {
  const auto command = static_cast<Command>(outcome.command);
  std::vector<std::uint8_t> reply;
  switch (command) {
    case Command::kStartApplication:
      outcome.startsApplication = true;
      return;  // no reply
    case Command::kReadVersion:
      AppendLe32(reply, config_.flashSize);
      reply.push_back(config_.versionMinor);
      reply.push_back(config_.versionMajor);
      break;
    case Command::kEraseFlash:
      std::fill(flash_.begin(), flash_.end(), std::uint8_t{0xFF});
      erased_ = true;
      programmed_ = false;
      AppendLe16(reply, outcome.command);
      break;
    case Command::kProgramBlock:
    case Command::kProgramBlankBlock: {
      // NOR flash: programming can only clear bits; a blank block therefore changes nothing.
      const std::size_t offset = *outcome.address - kFlashWindowBase;
      const auto data = payload.subspan(kAddressedHeaderSize);
      for (std::size_t i = 0; i < data.size(); ++i) flash_[offset + i] &= data[i];
      if (command == Command::kProgramBlock) programmed_ = true;
      AppendLe16(reply, outcome.command);
      break;
    }
    case Command::kReadMemory: {
      reply.assign(payload.begin(), payload.begin() + kAddressedHeaderSize);
      const std::size_t offset = *outcome.address - kFlashWindowBase;
      const auto begin = flash_.begin() + static_cast<std::ptrdiff_t>(offset);
      reply.insert(reply.end(), begin, begin + static_cast<std::ptrdiff_t>(*outcome.count) * 4);
      break;
    }
    case Command::kFinishProgram: {
      std::uint16_t status = kStatusSuccess;
      if (!erased_) {
        status = kStatusNotErased;
      } else if (!programmed_) {
        status = kStatusNotProgrammed;
      } else {
        usedLength_ = *outcome.address;
      }
      status = config_.finishStatus.value_or(status);
      outcome.status = status;
      AppendLe16(reply, status);
      break;
    }
  }
  outcome.reply = std::move(reply);
}

}  // namespace vestrel::sim
