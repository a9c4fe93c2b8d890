// Fuzz target: a port server's bytes through the telnet decoder and the RFC 2217 client session.
// A server is untrusted: whatever it sends, memory stays bounded, nothing hangs, and the data
// bytes come through exactly.
//
// Input: 1 byte that picks how the stream is cut into reads, then the server's bytes.
//
// Invariants:
// - the decoder gives the data and the commands of a plain model of the telnet rules (which
//   reads the whole stream at once), however the stream is cut into reads;
// - no subnegotiation keeps more than kMaxSubnegotiation bytes;
// - data encoded with AppendData decodes to itself, with no command;
// - the client session passes the same data through and answers at most one negotiation (three
//   bytes) per negotiation received.
#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "platform/rfc2217.h"

namespace {

using namespace vestrel::platform::telnet;
using Bytes = std::vector<std::uint8_t>;

struct Decoded {
  Bytes data;
  std::vector<Event> events;
};

// The rules as written down, over the whole stream; a command cut off at the end is left out.
Decoded Model(std::span<const std::uint8_t> s) {
  Decoded out;
  std::size_t i = 0;
  const std::size_t n = s.size();
  while (i < n) {
    if (s[i] != kIac) {
      out.data.push_back(s[i++]);
      continue;
    }
    if (i + 1 >= n) break;
    const std::uint8_t c = s[i + 1];
    if (c == kIac) {
      out.data.push_back(kIac);
      i += 2;
    } else if (c >= kWill && c <= kDont) {
      if (i + 2 >= n) break;
      out.events.push_back({Event::Kind::Negotiation, c, s[i + 2], {}, false});
      i += 3;
    } else if (c == kSb) {
      if (i + 2 >= n) break;
      Event sub{Event::Kind::Subnegotiation, kSb, s[i + 2], {}, false};
      Bytes whole;
      std::size_t j = i + 3;
      bool ended = false;
      while (j < n && !ended) {
        if (s[j] != kIac) {
          whole.push_back(s[j++]);
        } else if (j + 1 >= n) {
          break;
        } else if (s[j + 1] == kIac) {
          whole.push_back(kIac);
          j += 2;
        } else {
          ended = true;
          i = s[j + 1] == kSe ? j + 2 : j;  // any other command is read from its IAC
        }
      }
      if (!ended) break;
      sub.truncated = whole.size() > Decoder::kMaxSubnegotiation;
      whole.resize(std::min(whole.size(), Decoder::kMaxSubnegotiation));
      sub.data = std::move(whole);
      out.events.push_back(std::move(sub));
    } else {
      out.events.push_back({Event::Kind::Command, c, 0, {}, false});
      i += 2;
    }
  }
  return out;
}

Decoded DecodeInPieces(std::span<const std::uint8_t> stream, std::uint8_t seed) {
  Decoder decoder;
  Decoded out;
  std::size_t at = 0;
  std::uint32_t state = seed;
  while (at < stream.size()) {
    state = state * 1103515245u + 12345u;
    const std::size_t piece = std::min<std::size_t>(1 + (state >> 16) % 7, stream.size() - at);
    decoder.Feed(stream.subspan(at, piece), out.data, out.events);
    at += piece;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::span<const std::uint8_t> stream(data + 1, size - 1);

  const Decoded model = Model(stream);
  const Decoded pieces = DecodeInPieces(stream, data[0]);
  Decoded whole;
  Decoder().Feed(stream, whole.data, whole.events);
  FUZZ_CHECK(whole.data == model.data && whole.events == model.events);
  FUZZ_CHECK(pieces.data == model.data && pieces.events == model.events);
  for (const Event& event : whole.events)
    FUZZ_CHECK(event.data.size() <= Decoder::kMaxSubnegotiation);

  Bytes encoded;
  AppendData(encoded, stream);
  Decoded back;
  Decoder().Feed(encoded, back.data, back.events);
  FUZZ_CHECK(back.data == Bytes(stream.begin(), stream.end()) && back.events.empty());

  ClientSession session;
  session.Greeting();
  Bytes sessionData, answer;
  session.Receive(stream, sessionData, answer);
  const auto negotiations =
      std::count_if(whole.events.begin(), whole.events.end(),
                    [](const Event& e) { return e.kind == Event::Kind::Negotiation; });
  FUZZ_CHECK(sessionData == model.data);
  FUZZ_CHECK(answer.size() <= 3 * static_cast<std::size_t>(negotiations));
  return 0;
}
