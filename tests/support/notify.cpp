#include "notify.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>

NotifyListener::NotifyListener(bool abstract, const std::string& directory) {
  static std::atomic<int> count{0};
  name = abstract ? "@jltest-notify-" + std::to_string(getpid()) + "-" + std::to_string(++count)
                  : directory + "/notify";
  if (!abstract) path = name;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  name.copy(address.sun_path, sizeof(address.sun_path) - 1);
  socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size() + (abstract ? 0 : 1));
  if (abstract) address.sun_path[0] = '\0';
  fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0) {
    close(fd);
    fd = -1;
  }
}

NotifyListener::~NotifyListener() {
  if (fd >= 0) close(fd);
  if (!path.empty()) unlink(path.c_str());
}

bool NotifyListener::waitFor(const std::string& message, int milliseconds) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  while (std::find(heard.begin(), heard.end(), message) == heard.end()) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd ready{fd, POLLIN, 0};
    if (fd < 0 || left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) <= 0) return false;
    char buffer[4096];
    ssize_t got = recv(fd, buffer, sizeof(buffer), 0);
    if (got >= 0) heard.emplace_back(buffer, static_cast<std::size_t>(got));
  }
  return true;
}

const std::vector<std::string>& NotifyListener::messages() {
  char buffer[4096];
  ssize_t got;
  while (fd >= 0 && (got = recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT)) >= 0) {
    heard.emplace_back(buffer, static_cast<std::size_t>(got));
  }
  return heard;
}
