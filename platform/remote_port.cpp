// Remote serial ports: the RFC 2217 session of rfc2217.h (or raw bytes) on a TCP connection of
// net_socket.h, behind the SerialDevice interface.
//
// Received bytes are decoded as they are taken from the connection; data waits in a bounded
// queue for Read, and the server's answers to the negotiation go back at once. The time-out
// rules are those of the local devices. Drain waits until the server has acknowledged the bytes
// and then for their time on the far line at the rate last set, so that a reply window starts,
// as on a local port, when the request is on the wire.
#include "platform/remote_port.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <charconv>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "platform/net_socket.h"
#include "platform/remote_serial_device.h"
#include "platform/rfc2217.h"

namespace vestrel::platform {
namespace {

using Clock = std::chrono::steady_clock;
using Deadline = std::optional<Clock::time_point>;
namespace telnet = platform::telnet;

constexpr std::size_t kReceiveChunk = 4096;
// Data held for Read at most: past it, nothing more is taken from the connection until Read
// has taken some, so a server that sends without end cannot fill the memory.
constexpr std::size_t kReceiveLimit = 64 * 1024;
// Waits are cut into slices, so that bytes another thread took from the connection meanwhile
// are seen within one.
constexpr auto kWaitSlice = std::chrono::milliseconds(20);
// How long the server has to confirm a rate change.
constexpr auto kReplyLimit = std::chrono::seconds(2);
// How long a negotiation answer may take to leave.
constexpr auto kAnswerLimit = std::chrono::seconds(1);
constexpr auto kUnackedPoll = std::chrono::microseconds(500);
// A URL file is a line of text; anything larger is not one.
constexpr std::uintmax_t kUrlFileLimit = 512;

constexpr const char* kRfc2217Scheme = "rfc2217://";
constexpr const char* kSocketScheme = "socket://";

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
  return true;
}

bool IsHostCharacter(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_';
}

// RFC 6761: names under "invalid" never exist, and a resolver need not be asked.
bool IsInvalidName(std::string host) {
  std::transform(host.begin(), host.end(), host.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  while (!host.empty() && host.back() == '.') host.pop_back();
  return host == "invalid" || (host.size() > 8 && host.ends_with(".invalid"));
}

SerialResult Success(std::size_t count = 0) {
  return {SerialStatus::Ok, count, 0, {}};
}

SerialResult TimedOut(std::size_t count = 0) {
  return {SerialStatus::TimedOut, count, 0, "timed out"};
}

SerialResult WithCount(SerialResult r, std::size_t count) {
  r.count = count;
  return r;
}

std::uint8_t ComPortParity(std::uint8_t parity) {
  return static_cast<std::uint8_t>(parity + 1);  // NOPARITY 0 .. SPACEPARITY 4 -> 1 .. 5
}

std::uint8_t ComPortStopSize(std::uint8_t stopBits) {
  switch (stopBits) {
    case ONE5STOPBITS:
      return static_cast<std::uint8_t>(telnet::ComPortStopSize::OneAndHalf);
    case TWOSTOPBITS:
      return static_cast<std::uint8_t>(telnet::ComPortStopSize::Two);
    default:
      return static_cast<std::uint8_t>(telnet::ComPortStopSize::One);
  }
}

telnet::ComPortControl FlowControlOf(const DCB& dcb) {
  if (dcb.fOutxCtsFlow || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE)
    return telnet::ComPortControl::HardwareFlow;
  if (dcb.fOutX || dcb.fInX) return telnet::ComPortControl::XonXoffFlow;
  return telnet::ComPortControl::NoFlow;
}

const char* CheckDcb(const DCB& dcb) {
  if (dcb.BaudRate == 0) return "baud rate 0";
  if (dcb.ByteSize < 5 || dcb.ByteSize > 8) return "byte size outside 5..8";
  if (dcb.Parity > SPACEPARITY) return "unknown parity";
  if (dcb.StopBits > TWOSTOPBITS) return "unknown stop bits";
  if (dcb.fRtsControl == RTS_CONTROL_TOGGLE) return "RTS toggling is not available";
  return nullptr;
}

class RemoteSerialDevice final : public SerialDevice {
 public:
  RemoteSerialDevice(RemotePortUrl url, std::unique_ptr<net::TcpConnection> connection)
      : url_(std::move(url)),
        path_(url_.Text()),
        comPort_(url_.protocol == RemoteProtocol::Rfc2217),
        connection_(std::move(connection)) {
    dcb_.DCBlength = sizeof(DCB);
    dcb_.fBinary = 1;
    dcb_.ByteSize = 8;
  }

  // The RFC 2217 start: the COM port option agreed, then the line settings in force asked for,
  // so that they can be put back when the port is closed. Empty on success, else why not.
  std::string Negotiate(Clock::time_point deadline, std::chrono::milliseconds limit) {
    if (!comPort_) return {};
    limitSeconds_ = (limit.count() + 999) / 1000;
    std::vector<std::uint8_t> greeting;
    {
      std::lock_guard lock(rxMutex_);
      greeting = session_.Greeting();
    }
    if (!SendEncoded(greeting, deadline).ok()) return NegotiationFailure(false);
    const SerialResult agreed = WaitUntil(
        [this] { return session_.ComPort() != telnet::Negotiator::State::Asked; }, deadline);
    if (!agreed.ok()) return NegotiationFailure(agreed.status == SerialStatus::TimedOut);
    if (ComPortState() != telnet::Negotiator::State::On)
      return url_.HostPort() +
             " does not offer RFC 2217 (the telnet COM port option); for a raw TCP port use "
             "socket://" +
             url_.HostPort();

    std::vector<std::uint8_t> query;
    using Command = telnet::ComPortCommand;
    for (Command c : {Command::SetDataSize, Command::SetParity, Command::SetStopSize})
      telnet::AppendComPort(query, static_cast<std::uint8_t>(c), 0);
    telnet::AppendComPort32(query, static_cast<std::uint8_t>(Command::SetBaudRate), 0);
    if (!SendEncoded(query, deadline).ok()) return NegotiationFailure(false);
    const SerialResult answered =
        WaitUntil([this] { return session_.Replies().baudReplies > 0; }, deadline);
    if (!answered.ok()) return NegotiationFailure(answered.status == SerialStatus::TimedOut);
    NoteSettingsInForce();
    return {};
  }

  const std::string& Path() const override { return path_; }

  std::string GoneReason() const override {
    return "The connection to " + url_.HostPort() +
           " closed (the port server stopped, or the network went down).";
  }

  bool SetsLineRate() const override { return comPort_; }

  SerialResult SetupComm(std::uint32_t, std::uint32_t) override { return Success(); }

  SerialResult Purge(std::uint32_t flags) override {
    const bool rx = (flags & PURGE_RXCLEAR) != 0;
    const bool tx = (flags & PURGE_TXCLEAR) != 0;
    if (rx) {
      std::lock_guard lock(rxMutex_);
      received_.clear();
    }
    if (!comPort_ || (!rx && !tx)) return Success();
    const auto target = rx && tx ? telnet::PurgeTarget::Both
                        : rx     ? telnet::PurgeTarget::ServerReceive
                                 : telnet::PurgeTarget::ServerTransmit;
    return SendComPort(telnet::ComPortCommand::PurgeData, static_cast<std::uint8_t>(target));
  }

  SerialResult GetCommState(DCB& dcb) override {
    std::lock_guard lock(stateMutex_);
    dcb = dcb_;
    return Success();
  }

  SerialResult SetCommState(const DCB& dcb) override {
    if (!comPort_) {  // nothing to send: the settings serve the wire-time estimate only
      std::lock_guard lock(stateMutex_);
      dcb_ = dcb;
      return Success();
    }
    if (const char* fault = CheckDcb(dcb)) return {SerialStatus::Failed, 0, 0, fault};
    using Command = telnet::ComPortCommand;
    auto code = [](Command c) { return static_cast<std::uint8_t>(c); };
    auto control = [](telnet::ComPortControl c) { return static_cast<std::uint8_t>(c); };
    std::vector<std::uint8_t> request;
    telnet::AppendComPort(request, code(Command::SetDataSize), dcb.ByteSize);
    telnet::AppendComPort(request, code(Command::SetParity), ComPortParity(dcb.Parity));
    telnet::AppendComPort(request, code(Command::SetStopSize), ComPortStopSize(dcb.StopBits));
    telnet::AppendComPort(request, code(Command::SetControl), control(FlowControlOf(dcb)));
    telnet::AppendComPort(
        request, code(Command::SetControl),
        control(dcb.fDtrControl == DTR_CONTROL_DISABLE ? telnet::ComPortControl::DtrOff
                                                       : telnet::ComPortControl::DtrOn));
    if (dcb.fRtsControl != RTS_CONTROL_HANDSHAKE)
      telnet::AppendComPort(
          request, code(Command::SetControl),
          control(dcb.fRtsControl == RTS_CONTROL_DISABLE ? telnet::ComPortControl::RtsOff
                                                         : telnet::ComPortControl::RtsOn));
    // The rate last: its answer also tells that the server has dealt with everything before.
    telnet::AppendComPort32(request, code(Command::SetBaudRate), dcb.BaudRate);
    const std::uint32_t before = Replies().baudReplies;
    const auto deadline = Clock::now() + kReplyLimit;
    if (SerialResult sent = SendEncoded(request, deadline); !sent.ok()) return sent;
    const SerialResult answered =
        WaitUntil([this, before] { return session_.Replies().baudReplies > before; }, deadline);
    if (answered.status == SerialStatus::TimedOut)
      return {SerialStatus::Failed, 0, 0,
              url_.HostPort() + " did not confirm the line settings within 2 s"};
    if (!answered.ok()) return answered;
    const std::uint32_t taken = Replies().baudRate;
    if (!RateWithinTolerance(dcb.BaudRate, taken))
      return {SerialStatus::Unsupported, 0, 0,
              "the port server at " + url_.HostPort() + " does not run " +
                  std::to_string(dcb.BaudRate) + " baud (it set " + std::to_string(taken) + ")"};
    std::lock_guard lock(stateMutex_);
    dcb_ = dcb;
    return Success();
  }

  SerialResult GetCommTimeouts(COMMTIMEOUTS& timeouts) override {
    std::lock_guard lock(stateMutex_);
    timeouts = timeouts_;
    return Success();
  }

  SerialResult SetCommTimeouts(const COMMTIMEOUTS& timeouts) override {
    std::lock_guard lock(stateMutex_);
    timeouts_ = timeouts;
    return Success();
  }

  SerialResult SetDtr(bool on) override {
    using telnet::ComPortControl;
    return SendControl(on ? ComPortControl::DtrOn : ComPortControl::DtrOff);
  }

  SerialResult SetRts(bool on) override {
    using telnet::ComPortControl;
    return SendControl(on ? ComPortControl::RtsOn : ComPortControl::RtsOff);
  }

  SerialResult Read(std::span<std::uint8_t> buffer) override {
    if (buffer.empty()) return Success();
    const auto start = Clock::now();
    const ReadPlan plan = PlanRead(Timeouts(), buffer.size());
    const Deadline total = plan.total ? Deadline(start + *plan.total) : std::nullopt;
    std::size_t got = 0;
    Clock::time_point lastByte = start;
    for (;;) {
      const std::size_t taken = TakeReceived(buffer.subspan(got));
      if (taken > 0) lastByte = Clock::now();
      got += taken;
      if (got == buffer.size() || (plan.returnOnAny && got > 0)) return Success(got);
      Deadline deadline = total;
      if (got > 0 && plan.interval) {
        const auto gap = lastByte + *plan.interval;
        deadline = deadline ? std::min(*deadline, gap) : gap;
      }
      const SerialResult pumped = Pump(deadline);
      if (pumped.status == SerialStatus::Gone && HasReceived()) continue;
      if (!pumped.ok() && pumped.status != SerialStatus::TimedOut) return WithCount(pumped, got);
      // Telnet commands alone do not hold a read past its time.
      if (deadline && Clock::now() >= *deadline)
        return Success(got + TakeReceived(buffer.subspan(got)));
    }
  }

  SerialResult Write(std::span<const std::uint8_t> data) override {
    const COMMTIMEOUTS t = Timeouts();
    Deadline deadline;
    if (t.WriteTotalTimeoutMultiplier != 0 || t.WriteTotalTimeoutConstant != 0)
      deadline = Clock::now() + std::chrono::milliseconds(
                                    std::uint64_t{t.WriteTotalTimeoutMultiplier} * data.size() +
                                    t.WriteTotalTimeoutConstant);
    // A server whose buffer is full has asked to hold back.
    if (SerialResult r = WaitUntil([this] { return !session_.Replies().suspended; }, deadline);
        !r.ok())
      return WithCount(r, 0);
    std::vector<std::uint8_t> encoded;
    if (comPort_)
      telnet::AppendData(encoded, data);
    else
      encoded.assign(data.begin(), data.end());
    SerialResult sent = SendEncoded(encoded, deadline);
    sent.count = DataBytesIn(data, sent.count);
    NoteWireTime(sent.count);
    return sent;
  }

  SerialResult Drain(std::chrono::milliseconds limit) override {
    const auto deadline = Clock::now() + limit;
    for (;;) {
      // A reset connection may keep its unacknowledged count for good.
      if (closed_ || connection_->PeerClosed()) {
        closed_ = true;
        return Gone();
      }
      const std::optional<std::size_t> unacked = connection_->Unacknowledged();
      if (!unacked || *unacked == 0) break;
      const auto now = Clock::now();
      if (now >= deadline) return TimedOut();
      std::this_thread::sleep_for(std::min<Clock::duration>(kUnackedPoll, deadline - now));
    }
    Clock::time_point wireFree;
    {
      std::lock_guard lock(stateMutex_);
      wireFree = wireFreeAt_;
    }
    std::this_thread::sleep_until(std::min(wireFree, deadline));
    return Success();
  }

  SerialResult WaitReadable(std::chrono::milliseconds limit) override {
    const SerialResult r = WaitUntil([this] { return !received_.empty(); }, Clock::now() + limit);
    if (r.status == SerialStatus::Gone && HasReceived()) return Success();
    return r;
  }

  SerialResult GetLineErrorCounters(LineErrorCounters&) override {
    return {SerialStatus::Unsupported, 0, 0, "a remote port has no error counters here"};
  }

  SerialResult ClearBreak() override {
    if (!comPort_) return Success();  // raw TCP cannot send a break, so none is on
    return SendControl(telnet::ComPortControl::BreakOff);
  }

 private:
  COMMTIMEOUTS Timeouts() {
    std::lock_guard lock(stateMutex_);
    return timeouts_;
  }

  telnet::ServerReplies Replies() {
    std::lock_guard lock(rxMutex_);
    return session_.Replies();
  }

  telnet::Negotiator::State ComPortState() {
    std::lock_guard lock(rxMutex_);
    return session_.ComPort();
  }

  SerialResult Gone() const { return {SerialStatus::Gone, 0, 0, GoneReason()}; }

  SerialResult FromNet(const net::NetResult& r, std::size_t count = 0) {
    if (r.status == net::NetStatus::Closed) {
      closed_ = true;
      return WithCount(Gone(), count);
    }
    if (r.status == net::NetStatus::TimedOut) return TimedOut(count);
    return {SerialStatus::Failed, count, r.error, r.text};
  }

  std::string NegotiationFailure(bool timedOut) const {
    if (timedOut)
      return url_.HostPort() +
             " accepted the connection but did not complete the RFC 2217 "
             "negotiation within " +
             std::to_string(limitSeconds_) + " s (timed out)";
    return url_.HostPort() +
           " closed the connection during the RFC 2217 negotiation (is the port in use by "
           "another client?)";
  }

  // The rate and framing that the server reported, as the found line state.
  void NoteSettingsInForce() {
    const telnet::ServerReplies replies = Replies();
    std::lock_guard lock(stateMutex_);
    dcb_.BaudRate = replies.baudRate;
    if (replies.dataSize && *replies.dataSize >= 5 && *replies.dataSize <= 8)
      dcb_.ByteSize = *replies.dataSize;
    if (replies.parity && *replies.parity >= 1 && *replies.parity <= 5)
      dcb_.Parity = static_cast<std::uint8_t>(*replies.parity - 1);
    if (replies.stopSize == static_cast<std::uint8_t>(telnet::ComPortStopSize::Two))
      dcb_.StopBits = TWOSTOPBITS;
    else if (replies.stopSize == static_cast<std::uint8_t>(telnet::ComPortStopSize::OneAndHalf))
      dcb_.StopBits = ONE5STOPBITS;
  }

  SerialResult SendComPort(telnet::ComPortCommand command, std::uint8_t value) {
    std::vector<std::uint8_t> bytes;
    telnet::AppendComPort(bytes, static_cast<std::uint8_t>(command), value);
    return SendEncoded(bytes, Clock::now() + kAnswerLimit);
  }

  SerialResult SendControl(telnet::ComPortControl value) {
    if (!comPort_)
      return {SerialStatus::Unsupported, 0, 0, "a raw TCP port has no modem lines or breaks"};
    return SendComPort(telnet::ComPortCommand::SetControl, static_cast<std::uint8_t>(value));
  }

  // Sends bytes as they are, all of them unless the deadline passes first.
  SerialResult SendEncoded(std::span<const std::uint8_t> bytes, Deadline deadline) {
    std::lock_guard lock(txMutex_);
    std::size_t done = 0;
    while (done < bytes.size()) {
      if (closed_) return WithCount(Gone(), done);
      const net::NetResult sent = connection_->Send(bytes.subspan(done));
      if (!sent.ok()) return FromNet(sent, done);
      done += sent.count;
      if (done == bytes.size()) break;
      const auto now = Clock::now();
      if (deadline && now >= *deadline) return TimedOut(done);
      const auto slice = now + kWaitSlice;
      const net::NetResult ready =
          connection_->WaitWritable(deadline ? std::min(*deadline, slice) : slice);
      if (!ready.ok() && ready.status != net::NetStatus::TimedOut) return FromNet(ready, done);
    }
    return Success(done);
  }

  // How many of `data`'s bytes the first `encodedCount` bytes of their encoding carry whole.
  std::size_t DataBytesIn(std::span<const std::uint8_t> data, std::size_t encodedCount) const {
    if (!comPort_) return encodedCount;
    std::size_t used = 0;
    std::size_t count = 0;
    for (const std::uint8_t byte : data) {
      used += byte == telnet::kIac ? 2 : 1;
      if (used > encodedCount) break;
      ++count;
    }
    return count;
  }

  // The far line sends the bytes one after another at the rate last set.
  void NoteWireTime(std::size_t bytes) {
    std::lock_guard lock(stateMutex_);
    if (dcb_.BaudRate == 0 || bytes == 0) return;
    const auto onTheWire = std::chrono::duration_cast<Clock::duration>(
        std::chrono::nanoseconds(std::uint64_t{bytes} * 10'000'000'000 / dcb_.BaudRate));
    wireFreeAt_ = std::max(wireFreeAt_, Clock::now()) + onTheWire;
  }

  bool ReceiveQueueFull() {
    std::lock_guard lock(rxMutex_);
    return received_.size() >= kReceiveLimit;
  }

  bool HasReceived() {
    std::lock_guard lock(rxMutex_);
    return !received_.empty();
  }

  std::size_t TakeReceived(std::span<std::uint8_t> buffer) {
    std::lock_guard lock(rxMutex_);
    const std::size_t n = std::min(buffer.size(), received_.size());
    std::copy_n(received_.begin(), n, buffer.begin());
    received_.erase(received_.begin(), received_.begin() + static_cast<std::ptrdiff_t>(n));
    return n;
  }

  // Waits (at most one slice, and not past `deadline`) for bytes from the server and decodes
  // what came: Ok with the count of data bytes, TimedOut when nothing came, Gone at the end.
  SerialResult Pump(Deadline deadline) {
    if (closed_) return Gone();
    const auto slice = Clock::now() + kWaitSlice;
    if (ReceiveQueueFull()) {  // Read must take some first
      std::this_thread::sleep_until(deadline ? std::min(*deadline, slice) : slice);
      return TimedOut();
    }
    const net::NetResult ready =
        connection_->WaitReadable(deadline ? std::min(*deadline, slice) : slice);
    if (!ready.ok()) return FromNet(ready);
    std::vector<std::uint8_t> answer;
    std::size_t count = 0;
    {
      std::lock_guard lock(rxMutex_);
      std::uint8_t chunk[kReceiveChunk];
      const net::NetResult got = connection_->Receive(chunk);
      if (!got.ok()) return FromNet(got);
      const std::span<const std::uint8_t> bytes(chunk, got.count);
      if (comPort_) {
        data_.clear();
        session_.Receive(bytes, data_, answer);
        received_.insert(received_.end(), data_.begin(), data_.end());
        count = data_.size();
      } else {
        received_.insert(received_.end(), bytes.begin(), bytes.end());
        count = bytes.size();
      }
    }
    if (!answer.empty()) {
      if (SerialResult sent = SendEncoded(answer, Clock::now() + kAnswerLimit); !sent.ok())
        return sent;
    }
    return Success(count);
  }

  // Takes bytes from the server until `done` (asked under the receive lock) holds, the
  // connection ends, or the deadline passes (none: no limit).
  template <typename Condition>
  SerialResult WaitUntil(Condition done, Deadline deadline) {
    for (;;) {
      {
        std::lock_guard lock(rxMutex_);
        if (done()) return Success();
      }
      if (deadline && Clock::now() >= *deadline) return TimedOut();
      if (SerialResult r = Pump(deadline); !r.ok() && r.status != SerialStatus::TimedOut) {
        std::lock_guard lock(rxMutex_);
        return done() ? Success() : r;
      }
    }
  }

  const RemotePortUrl url_;
  const std::string path_;
  const bool comPort_;
  const std::unique_ptr<net::TcpConnection> connection_;
  std::atomic<bool> closed_ = false;
  std::chrono::milliseconds::rep limitSeconds_ = 0;  // of the connect, for its messages

  std::mutex txMutex_;  // one sender at a time, so that commands are never split by data

  std::mutex rxMutex_;  // guards the four below
  telnet::ClientSession session_;
  std::deque<std::uint8_t> received_;
  std::vector<std::uint8_t> data_;  // scratch of Pump

  std::mutex stateMutex_;  // guards the three below
  DCB dcb_{};
  COMMTIMEOUTS timeouts_{};
  Clock::time_point wireFreeAt_{};
};

OpenResult ConnectFailure(const RemotePortUrl& url, const net::NetResult& r,
                          std::chrono::milliseconds limit) {
  OpenResult result;
  result.status = OpenStatus::Failed;
  result.error = r.error;
  const std::string seconds = std::to_string((limit.count() + 999) / 1000);
  switch (r.status) {
    case net::NetStatus::UnknownHost:
      result.text = "unknown host " + url.host;
      break;
    case net::NetStatus::Refused:
      result.text = "connection to " + url.HostPort() + " refused (nothing listens there)";
      break;
    case net::NetStatus::TimedOut:
      result.text =
          "no answer from " + url.HostPort() + " within " + seconds + " s (connection timed out)";
      break;
    default:
      result.text = "cannot connect to " + url.HostPort() + ": " + r.text;
      break;
  }
  return result;
}

}  // namespace

std::string RemotePortUrl::HostPort() const {
  const bool v6 = host.find(':') != std::string::npos;
  return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

std::string RemotePortUrl::Text() const {
  return (protocol == RemoteProtocol::Rfc2217 ? kRfc2217Scheme : kSocketScheme) + HostPort();
}

bool NamesRemotePort(std::string_view text) {
  return StartsWithNoCase(text, kRfc2217Scheme) || StartsWithNoCase(text, kSocketScheme);
}

std::optional<RemotePortUrl> ParseRemotePortUrl(std::string_view text, bool listener) {
  RemotePortUrl url;
  if (StartsWithNoCase(text, kRfc2217Scheme)) {
    text.remove_prefix(std::string_view(kRfc2217Scheme).size());
  } else if (StartsWithNoCase(text, kSocketScheme)) {
    url.protocol = RemoteProtocol::RawTcp;
    text.remove_prefix(std::string_view(kSocketScheme).size());
  } else {
    return std::nullopt;
  }
  std::string_view host;
  if (!text.empty() && text.front() == '[') {  // [IPv6]:PORT
    const auto close = text.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    host = text.substr(1, close - 1);
    text.remove_prefix(close + 1);
    if (host.empty() ||
        host.find_first_not_of("0123456789abcdefABCDEF:.") != std::string_view::npos)
      return std::nullopt;
  } else {
    const auto colon = text.find(':');
    if (colon == std::string_view::npos) return std::nullopt;
    host = text.substr(0, colon);
    text.remove_prefix(colon);
    if (host.empty() || !std::all_of(host.begin(), host.end(), IsHostCharacter))
      return std::nullopt;
  }
  if (text.size() < 2 || text.front() != ':') return std::nullopt;
  text.remove_prefix(1);
  unsigned port = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), port);
  if (error != std::errc{} || end != text.data() + text.size() || (port == 0 && !listener) ||
      port > 65535)
    return std::nullopt;
  url.host = std::string(host);
  url.port = static_cast<std::uint16_t>(port);
  return url;
}

std::optional<RemotePortUrl> RemotePortOf(const std::string& path) {
  if (NamesRemotePort(path)) return ParseRemotePortUrl(path);
  std::error_code ec;
  // Only a small regular file is looked into: a device node, FIFO or directory never is.
  if (!std::filesystem::is_regular_file(path, ec) ||
      std::filesystem::file_size(path, ec) > kUrlFileLimit || ec)
    return std::nullopt;
  std::ifstream in(path, std::ios::binary);
  std::string line;
  std::getline(in, line);
  const auto first = line.find_first_not_of(" \t\r");
  if (first == std::string::npos) return std::nullopt;
  const auto last = line.find_last_not_of(" \t\r");
  return ParseRemotePortUrl(std::string_view(line).substr(first, last - first + 1));
}

OpenResult OpenRemotePort(const RemotePortUrl& url, std::chrono::milliseconds limit) {
  if (IsInvalidName(url.host))
    return ConnectFailure(url, {net::NetStatus::UnknownHost, 0, 0, {}}, limit);
  const auto deadline = Clock::now() + limit;
  std::unique_ptr<net::TcpConnection> connection;
  const net::NetResult connected =
      net::TcpConnection::Connect(url.host, url.port, deadline, connection);
  if (!connected.ok()) return ConnectFailure(url, connected, limit);
  return OpenRemoteSerialDevice(url, std::move(connection), deadline, limit);
}

OpenResult OpenRemoteSerialDevice(const RemotePortUrl& url,
                                  std::unique_ptr<net::TcpConnection> connection,
                                  Clock::time_point deadline, std::chrono::milliseconds limit) {
  auto device = std::make_unique<RemoteSerialDevice>(url, std::move(connection));
  if (std::string failure = device->Negotiate(deadline, limit); !failure.empty()) {
    OpenResult result;
    result.status = OpenStatus::Failed;
    result.text = std::move(failure);
    return result;
  }
  OpenResult result;
  result.status = OpenStatus::Opened;
  result.device = std::move(device);
  return result;
}

}  // namespace vestrel::platform
