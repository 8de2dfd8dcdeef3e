// sockets: the command port of a running instance (shell mode's forwarding).
#pragma once

/// Sends message over one TCP connection to host:port and closes it. True when
/// the message was sent and the connection closed without error.
bool sendCommand(const char* hostName, int port, const char* message);

/// Who listens on a port of 127.0.0.1.
enum class Listener {
  kNone,     ///< nobody: a connection would be refused
  kOwn,      ///< only sockets of the user the launcher runs as (or of its caller)
  kForeign,  ///< a socket of another user, or no way to tell
};
/// Looks the port up among the listening sockets that take connections to
/// 127.0.0.1 (bound to it or to any address, IPv4 or IPv6); Linux names
/// their owners in /proc/net/tcp and /proc/net/tcp6.
Listener findLoopbackListener(int port);
