// A service manager's notify socket, as the tests stand in for systemd.
#pragma once

#include <string>
#include <vector>

/// An AF_UNIX datagram socket the launcher is told of through NOTIFY_SOCKET,
/// in the abstract namespace or at a path in a directory; keeps what it hears.
class NotifyListener {
 public:
  /// Binds a new socket: abstract, or at directory/notify.
  NotifyListener(bool abstract, const std::string& directory);
  ~NotifyListener();
  NotifyListener(const NotifyListener&) = delete;
  NotifyListener& operator=(const NotifyListener&) = delete;
  /// The value for NOTIFY_SOCKET ('@' first for an abstract address).
  const std::string& address() const { return name; }
  /// Receives until message has been heard (true) or milliseconds passed.
  bool waitFor(const std::string& message, int milliseconds);
  /// Receives what is waiting, then returns every message heard so far.
  const std::vector<std::string>& messages();

 private:
  int fd = -1;
  std::string name, path;
  std::vector<std::string> heard;
};
