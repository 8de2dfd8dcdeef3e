// Sockets on 127.0.0.1 for the tests that talk to the launcher or the JVM.
#pragma once

/// Binds the stream socket fd to a free port of 127.0.0.1; returns the port.
int bindLoopback(int fd);
/// A port of 127.0.0.1 that nothing listens on (at the time of the call).
int freeLoopbackPort();
/// A stream socket connected to port of 127.0.0.1, or -1.
int connectLoopback(int port);
