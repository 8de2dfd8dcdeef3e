// The command port of a running instance.
#pragma once

/// Sends message over one TCP connection to host:port and closes it. True when
/// the message was sent and the connection closed without error.
bool sendCommand(const char* hostName, int port, const char* message);
