// The telnet stream decoder, the encoders, the option negotiation and the client's session,
// without a network.
#include "platform/rfc2217.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vestrel::platform::telnet {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct Decoded {
  Bytes data;
  std::vector<Event> events;
};

Decoded Decode(const Bytes& stream, std::size_t piece) {
  Decoder decoder;
  Decoded out;
  for (std::size_t at = 0; at < stream.size(); at += piece)
    decoder.Feed(std::span(stream).subspan(at, std::min(piece, stream.size() - at)), out.data,
                 out.events);
  return out;
}

Event Negotiation(std::uint8_t verb, std::uint8_t option) {
  return {Event::Kind::Negotiation, verb, option, {}, false};
}

Event Sub(std::uint8_t option, Bytes data, bool truncated = false) {
  return {Event::Kind::Subnegotiation, kSb, option, std::move(data), truncated};
}

struct DecodeCase {
  const char* name;
  Bytes stream;
  Bytes data;
  std::vector<Event> events;
};

TEST(TelnetDecoder, SplitsDataFromCommandsWhereverTheReadsEnd) {
  const Bytes longSub = [] {
    Bytes b{kIac, kSb, kComPort};
    b.insert(b.end(), Decoder::kMaxSubnegotiation + 10, 7);
    b.insert(b.end(), {kIac, kSe, 'x'});
    return b;
  }();
  const std::vector<DecodeCase> cases = {
      {"plain data", {'a', 0, 'b'}, {'a', 0, 'b'}, {}},
      {"doubled IAC is one data byte", {1, kIac, kIac, 2}, {1, kIac, 2}, {}},
      {"negotiation",
       {'a', kIac, kWill, kComPort, 'b'},
       {'a', 'b'},
       {Negotiation(kWill, kComPort)}},
      {"COM port reply with a doubled IAC",
       {kIac, kSb, kComPort, 101, 0, kIac, kIac, 0, 0, kIac, kSe},
       {},
       {Sub(kComPort, {101, 0, kIac, 0, 0})}},
      {"IAC other than SE ends a subnegotiation and starts a command",
       {kIac, kSb, kComPort, 105, kIac, kDo, kBinary, 'z'},
       {'z'},
       {Sub(kComPort, {105}), Negotiation(kDo, kBinary)}},
      {"a long subnegotiation keeps its start only",
       longSub,
       {'x'},
       {Sub(kComPort, Bytes(Decoder::kMaxSubnegotiation, 7), true)}},
      {"other commands",
       {kIac, 241, 'q', kIac, kSe},
       {'q'},
       {{Event::Kind::Command, 241, 0, {}, false}, {Event::Kind::Command, kSe, 0, {}, false}}},
  };
  for (const DecodeCase& c : cases) {
    SCOPED_TRACE(c.name);
    for (std::size_t piece : {c.stream.size(), std::size_t{1}, std::size_t{2}, std::size_t{3}}) {
      SCOPED_TRACE(piece);
      const Decoded d = Decode(c.stream, piece);
      EXPECT_EQ(d.data, c.data);
      EXPECT_EQ(d.events, c.events);
    }
  }
}

TEST(TelnetDecoder, ACommandCutOffAtTheEndWaitsForItsRest) {
  Decoder decoder;
  Bytes data;
  std::vector<Event> events;
  decoder.Feed(Bytes{'a', kIac}, data, events);
  EXPECT_TRUE(decoder.InCommand());
  decoder.Feed(Bytes{kIac}, data, events);
  EXPECT_FALSE(decoder.InCommand());
  EXPECT_EQ(data, (Bytes{'a', kIac}));
  EXPECT_TRUE(events.empty());
}

TEST(TelnetEncoder, DataAndCommandsDecodeToWhatWasEncoded) {
  Bytes all(256);
  for (std::size_t i = 0; i < all.size(); ++i) all[i] = static_cast<std::uint8_t>(i);
  Bytes wire;
  AppendData(wire, all);
  EXPECT_EQ(wire.size(), 257u);  // only 0xFF is doubled
  AppendComPort32(wire, 1, 0xFF00FFFF);
  AppendComPort(wire, 5, kIac);
  AppendNegotiation(wire, kWont, kEcho);
  const Decoded d = Decode(wire, 1);
  EXPECT_EQ(d.data, all);
  EXPECT_EQ(d.events, (std::vector<Event>{Sub(kComPort, {1, 0xFF, 0, 0xFF, 0xFF}),
                                          Sub(kComPort, {5, kIac}), Negotiation(kWont, kEcho)}));
}

TEST(TelnetNegotiator, AnswersOnlyWhatChangesAnOption) {
  struct Step {
    std::uint8_t verb, option;
    Bytes answer;
  };
  // Accepts binary both ways and the COM port option from the peer; nothing else.
  Negotiator n({kBinary}, {kBinary, kComPort});
  Bytes out;
  n.RequestLocal(kBinary, out);
  EXPECT_EQ(out, (Bytes{kIac, kWill, kBinary}));
  EXPECT_EQ(n.Local(kBinary), Negotiator::State::Asked);
  const std::vector<Step> steps = {
      {kDo, kBinary, {}},                        // the answer to our request
      {kDo, kBinary, {}},                        // again: no change, no answer
      {kWill, kComPort, {kIac, kDo, kComPort}},  // offered and accepted
      {kWill, kEcho, {kIac, kDont, kEcho}},      // offered and refused
      {kDo, kSuppressGoAhead, {kIac, kWont, kSuppressGoAhead}},
      {kDont, kEcho, {}},                        // already off
      {kDont, kBinary, {kIac, kWont, kBinary}},  // switched off by the peer
      {kWont, kComPort, {kIac, kDont, kComPort}},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(testing::Message() << int{s.verb} << " " << int{s.option});
    out.clear();
    n.Handle(s.verb, s.option, out);
    EXPECT_EQ(out, s.answer);
  }
  EXPECT_EQ(n.Local(kBinary), Negotiator::State::Off);
  EXPECT_EQ(n.Remote(kComPort), Negotiator::State::Off);

  out.clear();
  n.RequestLocal(kBinary, out);
  n.Handle(kDont, kBinary, out);
  EXPECT_EQ(n.Local(kBinary), Negotiator::State::Refused);
  EXPECT_EQ(out, (Bytes{kIac, kWill, kBinary}));  // the refusal of a request gets no answer
}

TEST(ClientSession, AgreesWithAPortServerAndReadsItsReplies) {
  ClientSession session;
  const Bytes greeting = session.Greeting();
  const Bytes expected = {kIac, kWill, kComPort,        kIac, kWill, kBinary,
                          kIac, kDo,   kBinary,         kIac, kWill, kSuppressGoAhead,
                          kIac, kDo,   kSuppressGoAhead};
  EXPECT_EQ(greeting, expected);
  EXPECT_EQ(session.ComPort(), Negotiator::State::Asked);

  // What ser2net sends when a client connects, then a rate reply with data around it.
  Bytes server = {kIac, kWill, kSuppressGoAhead,
                  kIac, kDo,   kSuppressGoAhead,
                  kIac, kWill, kEcho,
                  kIac, kDont, kEcho,
                  kIac, kDo,   kBinary,
                  kIac, kWill, kBinary,
                  kIac, kDo,   kComPort,
                  'o',  'k'};
  AppendComPort32(server, 101, 115200);
  AppendData(server, Bytes{kIac, '!'});
  AppendComPort(server, 108, 0);  // the server's buffer is full
  Bytes data, answer;
  session.Receive(server, data, answer);
  EXPECT_EQ(data, (Bytes{'o', 'k', kIac, '!'}));
  EXPECT_EQ(answer, (Bytes{kIac, kDont, kEcho}));  // no echo of our own frames
  EXPECT_EQ(session.ComPort(), Negotiator::State::On);
  EXPECT_EQ(session.Replies().baudReplies, 1u);
  EXPECT_EQ(session.Replies().baudRate, 115200u);
  EXPECT_TRUE(session.Replies().suspended);

  Bytes resume;
  AppendComPort(resume, 109, 0);
  AppendComPort(resume, 102, 7);
  session.Receive(resume, data, answer);
  EXPECT_FALSE(session.Replies().suspended);
  EXPECT_EQ(session.Replies().dataSize, 7);
}

TEST(ClientSession, AServerThatRefusesTheComPortOptionIsNoted) {
  ClientSession session;
  session.Greeting();
  Bytes data, answer;
  session.Receive(Bytes{kIac, kDont, kComPort}, data, answer);
  EXPECT_EQ(session.ComPort(), Negotiator::State::Refused);
  EXPECT_TRUE(answer.empty());
}

}  // namespace
}  // namespace vestrel::platform::telnet
