// A serial port behind a port server, over a connection that is made already: RFC 2217 (the
// telnet COM port option: the line settings and modem lines go through the server) or raw TCP
// (bytes as they are). OpenRemotePort connects and hands the connection over; tests hand over
// one end of a socket pair.
#pragma once

#include <chrono>
#include <memory>

#include "platform/net_socket.h"
#include "platform/remote_port.h"
#include "platform/serial_device.h"

namespace vestrel::platform {

// Agrees the COM port option and asks for the settings in force (RFC 2217) before `deadline`;
// `limit` is what the messages name. Opened with the device, or Failed with why not.
OpenResult OpenRemoteSerialDevice(const RemotePortUrl& url,
                                  std::unique_ptr<net::TcpConnection> connection,
                                  net::Clock::time_point deadline, std::chrono::milliseconds limit);

}  // namespace vestrel::platform
