#include "platform/rfc2217.h"

#include <utility>

namespace vestrel::platform::telnet {

void Decoder::Feed(std::span<const std::uint8_t> bytes, std::vector<std::uint8_t>& data,
                   std::vector<Event>& events) {
  for (const std::uint8_t byte : bytes) {
    switch (state_) {
      case State::Data:
        if (byte == kIac)
          state_ = State::Iac;
        else
          data.push_back(byte);
        break;
      case State::SubIac:
        if (byte == kIac) {
          SubByte(byte);
          state_ = State::SubData;
          break;
        }
        events.push_back(std::exchange(sub_, Event{}));
        if (byte == kSe) {
          state_ = State::Data;
          break;
        }
        [[fallthrough]];  // an IAC that ends the subnegotiation starts a command
      case State::Iac:
        state_ = State::Data;
        if (byte == kIac) {
          data.push_back(byte);
        } else if (byte >= kWill && byte <= kDont) {
          verb_ = byte;
          state_ = State::Option;
        } else if (byte == kSb) {
          state_ = State::SubOption;
        } else {
          events.push_back({Event::Kind::Command, byte, 0, {}, false});
        }
        break;
      case State::Option:
        events.push_back({Event::Kind::Negotiation, verb_, byte, {}, false});
        state_ = State::Data;
        break;
      case State::SubOption:
        sub_ = {Event::Kind::Subnegotiation, kSb, byte, {}, false};
        state_ = State::SubData;
        break;
      case State::SubData:
        if (byte == kIac)
          state_ = State::SubIac;
        else
          SubByte(byte);
        break;
    }
  }
}

void Decoder::SubByte(std::uint8_t byte) {
  if (sub_.data.size() < kMaxSubnegotiation)
    sub_.data.push_back(byte);
  else
    sub_.truncated = true;
}

void AppendData(std::vector<std::uint8_t>& out, std::span<const std::uint8_t> data) {
  out.reserve(out.size() + data.size());
  for (const std::uint8_t byte : data) {
    out.push_back(byte);
    if (byte == kIac) out.push_back(byte);
  }
}

// Byte by byte: GCC 12 warns wrongly about inserting a list at -O2.
void AppendNegotiation(std::vector<std::uint8_t>& out, std::uint8_t verb, std::uint8_t option) {
  for (const std::uint8_t byte : {kIac, verb, option}) out.push_back(byte);
}

void AppendSubnegotiation(std::vector<std::uint8_t>& out, std::uint8_t option,
                          std::span<const std::uint8_t> payload) {
  for (const std::uint8_t byte : {kIac, kSb, option}) out.push_back(byte);
  AppendData(out, payload);
  out.push_back(kIac);
  out.push_back(kSe);
}

void AppendComPort(std::vector<std::uint8_t>& out, std::uint8_t code, std::uint8_t value) {
  const std::uint8_t payload[] = {code, value};
  AppendSubnegotiation(out, kComPort, payload);
}

void AppendComPort32(std::vector<std::uint8_t>& out, std::uint8_t code, std::uint32_t value) {
  const std::uint8_t payload[] = {
      code, static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
      static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
  AppendSubnegotiation(out, kComPort, payload);
}

// --- negotiation ---

Negotiator::Negotiator(std::initializer_list<std::uint8_t> local,
                       std::initializer_list<std::uint8_t> remote) {
  local_.fill(State::Off);
  remote_.fill(State::Off);
  for (const std::uint8_t option : local) acceptLocal_.set(option);
  for (const std::uint8_t option : remote) acceptRemote_.set(option);
}

void Negotiator::RequestLocal(std::uint8_t option, std::vector<std::uint8_t>& out) {
  if (local_[option] == State::On || local_[option] == State::Asked) return;
  local_[option] = State::Asked;
  AppendNegotiation(out, kWill, option);
}

void Negotiator::RequestRemote(std::uint8_t option, std::vector<std::uint8_t>& out) {
  if (remote_[option] == State::On || remote_[option] == State::Asked) return;
  remote_[option] = State::Asked;
  AppendNegotiation(out, kDo, option);
}

void Negotiator::Handle(std::uint8_t verb, std::uint8_t option, std::vector<std::uint8_t>& out) {
  const bool enable = verb == kWill || verb == kDo;
  const bool ours = verb == kDo || verb == kDont;  // about this side's option
  State& state = ours ? local_[option] : remote_[option];
  const bool accepted = ours ? acceptLocal_.test(option) : acceptRemote_.test(option);
  const std::uint8_t agree = ours ? kWill : kDo;
  const std::uint8_t refuse = ours ? kWont : kDont;
  if (enable) {
    if (state == State::On) return;
    if (!accepted) {
      AppendNegotiation(out, refuse, option);
      return;
    }
    if (state != State::Asked) AppendNegotiation(out, agree, option);
    state = State::On;
    return;
  }
  if (state == State::Asked) {
    state = State::Refused;  // the answer to our request: no answer back
  } else if (state == State::On) {
    state = State::Off;
    AppendNegotiation(out, refuse, option);
  }
}

// --- client session ---

ClientSession::ClientSession(bool comPort)
    : comPort_(comPort),
      negotiator_({kBinary, kSuppressGoAhead, kComPort}, {kBinary, kSuppressGoAhead, kComPort}) {}

std::vector<std::uint8_t> ClientSession::Greeting() {
  std::vector<std::uint8_t> out;
  if (comPort_) negotiator_.RequestLocal(kComPort, out);
  for (const std::uint8_t option : {kBinary, kSuppressGoAhead}) {
    negotiator_.RequestLocal(option, out);
    negotiator_.RequestRemote(option, out);
  }
  return out;
}

void ClientSession::Receive(std::span<const std::uint8_t> bytes, std::vector<std::uint8_t>& data,
                            std::vector<std::uint8_t>& answer) {
  events_.clear();
  decoder_.Feed(bytes, data, events_);
  for (const Event& event : events_) {
    if (event.kind == Event::Kind::Negotiation)
      negotiator_.Handle(event.verb, event.option, answer);
    else if (event.kind == Event::Kind::Subnegotiation && event.option == kComPort)
      NoteReply(event);
  }
}

void ClientSession::NoteReply(const Event& event) {
  if (!comPort_ || event.truncated || event.data.empty() || event.data[0] <= kReply) return;
  const auto command = static_cast<ComPortCommand>(event.data[0] - kReply);
  const std::span<const std::uint8_t> value = std::span(event.data).subspan(1);
  switch (command) {
    case ComPortCommand::SetBaudRate:
      if (value.size() != 4) return;
      replies_.baudRate = std::uint32_t{value[0]} << 24 | std::uint32_t{value[1]} << 16 |
                          std::uint32_t{value[2]} << 8 | value[3];
      ++replies_.baudReplies;
      break;
    case ComPortCommand::SetDataSize:
      if (value.size() == 1) replies_.dataSize = value[0];
      break;
    case ComPortCommand::SetParity:
      if (value.size() == 1) replies_.parity = value[0];
      break;
    case ComPortCommand::SetStopSize:
      if (value.size() == 1) replies_.stopSize = value[0];
      break;
    case ComPortCommand::FlowControlSuspend:
      replies_.suspended = true;
      break;
    case ComPortCommand::FlowControlResume:
      replies_.suspended = false;
      break;
    default:
      break;  // notifications and the answers to controls and purges say nothing needed here
  }
}

}  // namespace vestrel::platform::telnet
