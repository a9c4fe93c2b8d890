// The telnet protocol as far as a serial port server needs it, with its COM port option
// (RFC 2217): a decoder that splits a received stream into data bytes and telnet commands, the
// encoders of data and commands, the option negotiation, and the client's side of a session.
// Pure data logic without sockets, so that all of it is tested and fuzzed without a network;
// remote_port.cpp puts it on a TCP connection, the simulator's port server on the other end.
//
// A peer's bytes are untrusted: the decoder keeps at most kMaxSubnegotiation bytes of a
// subnegotiation, whatever is sent, and passes every data byte through exactly once.
#pragma once

#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <vector>

namespace vestrel::platform::telnet {

inline constexpr std::uint8_t kIac = 255;  // "interpret as command"; doubled in data
inline constexpr std::uint8_t kDont = 254;
inline constexpr std::uint8_t kDo = 253;
inline constexpr std::uint8_t kWont = 252;
inline constexpr std::uint8_t kWill = 251;
inline constexpr std::uint8_t kSb = 250;  // subnegotiation begins
inline constexpr std::uint8_t kSe = 240;  // subnegotiation ends

// Options.
inline constexpr std::uint8_t kBinary = 0;
inline constexpr std::uint8_t kEcho = 1;
inline constexpr std::uint8_t kSuppressGoAhead = 3;
inline constexpr std::uint8_t kComPort = 44;

// COM port option commands as a client sends them; a server answers with the code + kReply.
enum class ComPortCommand : std::uint8_t {
  SetBaudRate = 1,  // 4 bytes, network order; 0 asks for the rate in force
  SetDataSize = 2,  // 5..8; 0 asks
  SetParity = 3,    // ComPortParity; 0 asks
  SetStopSize = 4,  // 1: one, 2: two, 3: one and a half; 0 asks
  SetControl = 5,   // ComPortControl
  NotifyLineState = 6,
  NotifyModemState = 7,
  FlowControlSuspend = 8,  // the server's buffer is full: stop sending
  FlowControlResume = 9,
  SetLineStateMask = 10,
  SetModemStateMask = 11,
  PurgeData = 12,  // 1: the server's receive buffer, 2: its transmit buffer, 3: both
};
inline constexpr std::uint8_t kReply = 100;

enum class ComPortParity : std::uint8_t {
  Query = 0,
  None = 1,
  Odd = 2,
  Even = 3,
  Mark = 4,
  Space = 5
};
enum class ComPortStopSize : std::uint8_t { Query = 0, One = 1, Two = 2, OneAndHalf = 3 };

// The SET-CONTROL values this program uses.
enum class ComPortControl : std::uint8_t {
  QueryFlow = 0,
  NoFlow = 1,
  XonXoffFlow = 2,
  HardwareFlow = 3,
  BreakOn = 5,
  BreakOff = 6,
  DtrOn = 8,
  DtrOff = 9,
  RtsOn = 11,
  RtsOff = 12,
};

enum class PurgeTarget : std::uint8_t { ServerReceive = 1, ServerTransmit = 2, Both = 3 };

struct Event {
  enum class Kind { Negotiation, Subnegotiation, Command };
  Kind kind = Kind::Command;
  std::uint8_t verb = 0;           // Negotiation: kWill, kWont, kDo or kDont; Command: its code
  std::uint8_t option = 0;         // Negotiation and Subnegotiation
  std::vector<std::uint8_t> data;  // Subnegotiation: the bytes after the option, IAC undoubled
  bool truncated = false;  // a subnegotiation longer than kMaxSubnegotiation: `data` is its start

  bool operator==(const Event&) const = default;
};

class Decoder {
 public:
  static constexpr std::size_t kMaxSubnegotiation = 64;

  // Splits `bytes` into data bytes (appended to `data`) and commands (appended to `events`).
  // A command split across calls is kept until its end arrives. An IAC inside a subnegotiation
  // that is neither doubled nor followed by SE ends the subnegotiation, and the command it
  // starts is decoded as such.
  void Feed(std::span<const std::uint8_t> bytes, std::vector<std::uint8_t>& data,
            std::vector<Event>& events);

  // True while the bytes fed so far end inside a command.
  bool InCommand() const { return state_ != State::Data; }

 private:
  enum class State { Data, Iac, Option, SubOption, SubData, SubIac };

  void SubByte(std::uint8_t byte);

  State state_ = State::Data;
  std::uint8_t verb_ = 0;
  Event sub_;
};

// Data with every 0xFF doubled, appended to `out`.
void AppendData(std::vector<std::uint8_t>& out, std::span<const std::uint8_t> data);
void AppendNegotiation(std::vector<std::uint8_t>& out, std::uint8_t verb, std::uint8_t option);
// IAC SB option payload IAC SE, with 0xFF in the payload doubled.
void AppendSubnegotiation(std::vector<std::uint8_t>& out, std::uint8_t option,
                          std::span<const std::uint8_t> payload);
// A COM port command with a one-byte or a 32-bit value (network order).
void AppendComPort(std::vector<std::uint8_t>& out, std::uint8_t code, std::uint8_t value);
void AppendComPort32(std::vector<std::uint8_t>& out, std::uint8_t code, std::uint32_t value);

// Option negotiation that never loops (the rules of RFC 1143 for options that are asked for at
// most once): a request is answered only when it changes an option's state, and an answer to
// our own request gets no answer back.
class Negotiator {
 public:
  enum class State { Off, Asked, On, Refused };

  // `local`: options this side enables when the peer asks (DO); `remote`: options the peer may
  // enable on its side (WILL). Every other option is refused.
  Negotiator(std::initializer_list<std::uint8_t> local, std::initializer_list<std::uint8_t> remote);

  // Asks to enable an option here (WILL) or at the peer (DO).
  void RequestLocal(std::uint8_t option, std::vector<std::uint8_t>& out);
  void RequestRemote(std::uint8_t option, std::vector<std::uint8_t>& out);

  // Answers the peer's WILL, WONT, DO or DONT, appending the reply (if any) to `out`.
  void Handle(std::uint8_t verb, std::uint8_t option, std::vector<std::uint8_t>& out);

  State Local(std::uint8_t option) const { return local_[option]; }
  State Remote(std::uint8_t option) const { return remote_[option]; }

 private:
  std::array<State, 256> local_{};
  std::array<State, 256> remote_{};
  std::bitset<256> acceptLocal_;
  std::bitset<256> acceptRemote_;
};

// What a COM port server has answered so far.
struct ServerReplies {
  std::uint32_t baudReplies = 0;  // answers to SET-BAUDRATE, counted so a new one can be told
  std::uint32_t baudRate = 0;     // from the last of them
  std::optional<std::uint8_t> dataSize;
  std::optional<std::uint8_t> parity;    // ComPortParity
  std::optional<std::uint8_t> stopSize;  // ComPortStopSize
  bool suspended = false;                // FLOWCONTROL-SUSPEND until FLOWCONTROL-RESUME
};

// The client's side of a session: the greeting, the answers to the server's negotiation, and
// the server's COM port replies. With `comPort` false (a plain telnet port) only the
// negotiation runs.
class ClientSession {
 public:
  explicit ClientSession(bool comPort = true);

  // What the client sends first: its requests for the COM port option, binary transmission both
  // ways and no go-aheads.
  std::vector<std::uint8_t> Greeting();

  // Decodes bytes from the server: data bytes are appended to `data`, the client's answers to
  // `answer` (to be sent back).
  void Receive(std::span<const std::uint8_t> bytes, std::vector<std::uint8_t>& data,
               std::vector<std::uint8_t>& answer);

  // The server's answer to the COM port request: Asked until it answers, On, or Refused.
  Negotiator::State ComPort() const { return negotiator_.Local(kComPort); }
  const ServerReplies& Replies() const { return replies_; }

 private:
  void NoteReply(const Event& event);

  bool comPort_;
  Decoder decoder_;
  Negotiator negotiator_;
  ServerReplies replies_;
  std::vector<Event> events_;  // scratch, kept to spare an allocation per receive
};

}  // namespace vestrel::platform::telnet
