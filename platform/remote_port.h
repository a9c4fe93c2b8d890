// Serial ports on another machine, reached over TCP: rfc2217://HOST:PORT (a port server that
// speaks the telnet COM port option, RFC 2217, such as ser2net: the line settings and the modem
// lines are set through it) and socket://HOST:PORT (raw TCP: the bytes only; the port server's
// own line settings apply). Both are SerialDevices with the time-out rules of the local ones.
//
// A port is remote when its name is such a URL, or when it is a small regular file (a comN
// entry of a port directory) whose first line is one. The file is only ever read.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/serial_device.h"

namespace vestrel::platform {

enum class RemoteProtocol { Rfc2217, RawTcp };

struct RemotePortUrl {
  RemoteProtocol protocol = RemoteProtocol::Rfc2217;
  std::string host;  // a name or an address; an IPv6 address without its brackets
  std::uint16_t port = 0;

  std::string HostPort() const;  // "HOST:PORT", "[::1]:PORT"
  std::string Text() const;      // the URL

  bool operator==(const RemotePortUrl&) const = default;
};

// True when `text` begins with one of the two schemes (any case), whether or not the rest is
// well formed: such a name is meant as a remote port, and a fault in it is to be reported.
bool NamesRemotePort(std::string_view text);

// The URL in `text`: SCHEME://HOST:PORT with a port of 1 to 65535 and nothing after it; with
// `listener` port 0 too (the system picks one).
std::optional<RemotePortUrl> ParseRemotePortUrl(std::string_view text, bool listener = false);

// What a well-formed remote port name looks like, for messages.
inline constexpr const char* kRemotePortForm = "rfc2217://HOST:PORT or socket://HOST:PORT";

// The remote port that `path` names: the URL itself, or a regular file of at most a few hundred
// bytes whose first line (surrounding blanks aside) is one. Anything else gives nothing.
std::optional<RemotePortUrl> RemotePortOf(const std::string& path);

// How long a connect may take, name resolution and the RFC 2217 negotiation included.
inline constexpr std::chrono::seconds kRemoteConnectLimit{3};

// Connects. A failure says why in `text`: the host is unknown, nothing listens at the port
// (refused), it did not answer in time, or it answered but does not offer RFC 2217. Names under
// ".invalid" are unknown without asking any resolver (they never exist).
OpenResult OpenRemotePort(const RemotePortUrl& url,
                          std::chrono::milliseconds limit = kRemoteConnectLimit);

}  // namespace vestrel::platform
