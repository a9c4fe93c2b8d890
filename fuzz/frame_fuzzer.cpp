// Fuzz target: the frame encoder and decoder, and ReceiveFrame / SendFrame of the loader link
// over an in-memory device.
//
// Input: 2 setting bytes, then the received bytes.
//   byte 0 and bits 0..1 of byte 1: reply capacity 0..1023
//   byte 1 bit 2: the device hangs up once the bytes are used up (else reads time out)
//
// Invariants:
// - FrameDecoder gives the results, and stores the bytes, of a plain model of the decoding rules;
//   it never stores beyond its buffer (the buffer has exactly the capacity);
// - a decoded frame re-encodes to bytes that decode to the same payload, with the checksum that
//   FrameChecksum gives; an encoded frame has four start bytes, the end byte, no unescaped
//   control byte in between, and at most 2 bytes per payload and checksum byte;
// - every ReceiveFrame ends within ReceiveByteLimit(capacity) reads with a count within the
//   capacity or one of the four failures, and gives what the model gives on the bytes it read;
// - SendFrame writes exactly EncodeFrame's bytes.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "fuzz/fuzz_device.h"
#include "protocol/frame.h"
#include "protocol/serial_loader_link.h"

namespace {

using namespace vestrel::protocol;
using Bytes = std::vector<std::uint8_t>;

// The decoding rules, step by step as they are written down.
class ModelDecoder {
 public:
  explicit ModelDecoder(std::size_t capacity) : capacity_(capacity) {}

  std::optional<int> Feed(std::uint8_t byte) {
    if (escaped_) {
      escaped_ = false;
      return Store(byte);
    }
    if (byte == 0x55) {
      stored.clear();
      sum_ = 0;
      return std::nullopt;
    }
    if (byte == 0x04) return sum_ == 0 ? static_cast<int>(stored.size()) : -4;
    if (byte == 0x05) {
      escaped_ = true;
      return std::nullopt;
    }
    return Store(byte);
  }

  Bytes stored;

 private:
  std::optional<int> Store(std::uint8_t byte) {
    if (stored.size() >= capacity_) return -3;
    stored.push_back(byte);
    sum_ = static_cast<std::uint8_t>(sum_ + byte);
    return std::nullopt;
  }

  std::size_t capacity_;
  std::uint8_t sum_ = 0xFF;
  bool escaped_ = false;
};

void CheckEncoding(std::span<const std::uint8_t> payload, const Bytes& wire) {
  FUZZ_CHECK(wire.size() >= 6 && wire.size() <= 4 + 2 * (payload.size() + 1) + 1);
  FUZZ_CHECK(std::all_of(wire.begin(), wire.begin() + 4, [](std::uint8_t b) { return b == 0x55; }));
  FUZZ_CHECK(wire.back() == kEndByte);
  for (std::size_t i = 4; i + 1 < wire.size(); ++i) {
    if (wire[i] == kEscapeByte) {
      FUZZ_CHECK(i + 2 < wire.size());
      ++i;  // the escaped byte is data
      continue;
    }
    FUZZ_CHECK(!NeedsEscape(wire[i]));
  }
}

// Encodes the payload and decodes it with a decoder of `capacity`.
void CheckRoundTrip(std::span<const std::uint8_t> payload, std::size_t capacity) {
  const Bytes wire = EncodeFrame(payload);
  CheckEncoding(payload, wire);
  Bytes buffer(capacity);
  FrameDecoder decoder(buffer);
  std::optional<int> result;
  std::size_t used = 0;
  while (!result && used < wire.size()) result = decoder.Feed(wire[used++]);
  FUZZ_CHECK(result.has_value());
  if (payload.size() + 1 > capacity) {
    FUZZ_CHECK(*result == kFrameTooLong);
    return;
  }
  FUZZ_CHECK(used == wire.size());
  FUZZ_CHECK(*result == static_cast<int>(payload.size() + 1));
  FUZZ_CHECK(std::equal(payload.begin(), payload.end(), buffer.begin()));
  FUZZ_CHECK(buffer[payload.size()] == FrameChecksum(payload));
}

void CheckDecoder(std::span<const std::uint8_t> bytes, std::size_t capacity) {
  Bytes buffer(capacity);
  FrameDecoder decoder(buffer);
  ModelDecoder model(capacity);
  for (std::uint8_t byte : bytes) {
    const std::optional<int> result = decoder.Feed(byte);
    const std::optional<int> expected = model.Feed(byte);
    FUZZ_CHECK(result == expected);
    if (!result) continue;
    if (*result >= 0) {
      const auto count = static_cast<std::size_t>(*result);
      FUZZ_CHECK(count <= capacity && count == model.stored.size());
      FUZZ_CHECK(std::equal(model.stored.begin(), model.stored.end(), buffer.begin()));
      if (count > 0) CheckRoundTrip(std::span(buffer).first(count - 1), capacity);
    }
    decoder.Reset();
    model = ModelDecoder(capacity);
  }
}

void CheckReceive(std::span<const std::uint8_t> bytes, std::size_t capacity, bool goneAtEnd) {
  vestrel::fuzz::NullView view;
  vestrel::fuzz::ByteFeed feed;
  feed.input.assign(bytes.begin(), bytes.end());
  feed.goneAtEnd = goneAtEnd;
  SerialLoaderLink link(view, [&feed](const std::string&) {
    vestrel::platform::OpenResult opened;
    opened.status = vestrel::platform::OpenStatus::Opened;
    opened.device = std::make_unique<vestrel::fuzz::FeedDevice>(feed);
    return opened;
  });
  FUZZ_CHECK(link.OpenPort(PortTarget{"COM1", "/dev/fuzz"}, 115200));

  const std::size_t limit = SerialLoaderLink::ReceiveByteLimit(capacity);
  Bytes buffer(capacity);
  while (true) {
    const std::size_t from = feed.position;
    const std::size_t readsBefore = feed.reads;
    const int result = link.ReceiveFrame(buffer);
    FUZZ_CHECK(feed.reads - readsBefore <= limit);
    FUZZ_CHECK(result >= kChecksumError && result <= static_cast<int>(capacity));

    ModelDecoder model(capacity);
    std::optional<int> expected;
    std::size_t used = from;
    while (!expected && used < feed.position) expected = model.Feed(feed.input[used++]);
    FUZZ_CHECK(used == feed.position);  // it reads no byte beyond the end of its frame
    if (!expected) {
      // Out of bytes, or of the byte limit.
      if (feed.position - from == limit) {
        expected = kFrameTooLong;
      } else {
        expected = goneAtEnd ? kReadFailed : kTimedOut;
      }
    }
    FUZZ_CHECK(result == *expected);
    if (result >= 0)
      FUZZ_CHECK(std::equal(model.stored.begin(), model.stored.end(), buffer.begin()));
    if (result == kReadFailed || result == kTimedOut) break;
  }
  FUZZ_CHECK(feed.position == feed.input.size());
  FUZZ_CHECK(link.LinkLostReason().empty() != goneAtEnd);

  // The payload goes out exactly as encoded.
  feed.written.clear();
  const auto payload = bytes.first(std::min<std::size_t>(bytes.size(), 600));
  const int sent = link.SendFrame(payload);
  if (goneAtEnd) return;  // the fake keeps accepting writes; the link's state is what counts
  FUZZ_CHECK(sent == static_cast<int>(payload.size()));
  FUZZ_CHECK(feed.written == EncodeFrame(payload));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::size_t capacity = data[0] | (data[1] & 0x03u) << 8;
  const bool goneAtEnd = (data[1] & 0x04) != 0;
  const std::span<const std::uint8_t> bytes(data + 2, size - 2);
  CheckDecoder(bytes, capacity);
  CheckRoundTrip(bytes, capacity);
  CheckReceive(bytes, capacity, goneAtEnd);
  return 0;
}
