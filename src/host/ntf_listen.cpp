// Which TCP ports the process itself listens on, as the kernel tells: the
// LISTEN rows of /proc/self/net/tcp and tcp6 (every socket of the network
// namespace) whose inode is one of the process's own descriptors. A server
// nobody changed says nothing of its readiness; that it accepts connections
// is what its clients wait for.

#include <dirent.h>
#include <unistd.h>

#include <charconv>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "host/ntf.h"

namespace {

constexpr const char* kTcpTables[] = {"/proc/self/net/tcp", "/proc/self/net/tcp6"};
constexpr const char* kDescriptors = "/proc/self/fd";
constexpr std::string_view kSocketLink = "socket:[";

bool parseNumber(std::string_view text, unsigned long long& value, int base) {
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  return error == std::errc{} && end == text.data() + text.size();
}

}  // namespace

std::map<unsigned long long, int> ntfListeningSockets(const std::string& table) {
  std::map<unsigned long long, int> sockets;
  std::istringstream lines(table);
  std::string line;
  std::getline(lines, line);  // the heading
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
    fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
    std::size_t colon = local.rfind(':');
    unsigned long long port = 0, number = 0;
    if (!fields || state != "0A" || colon == std::string::npos ||
        !parseNumber(std::string_view(local).substr(colon + 1), port, 16) || !parseNumber(inode, number, 10) ||
        number == 0) {
      continue;
    }
    sockets[number] = static_cast<int>(port);
  }
  return sockets;
}

std::set<int> ntfOwnListeningPorts() {
  std::map<unsigned long long, int> listening;
  for (const char* path : kTcpTables) {
    std::ifstream file(path);
    std::ostringstream text;
    text << file.rdbuf();
    listening.merge(ntfListeningSockets(text.str()));
  }
  std::set<int> ports;
  // In a service's own network namespace most polls find nothing listening
  // at all: the descriptors, of which a JVM has hundreds, are read only when
  // something does. In the host's, other servers' rows are read each poll,
  // which lasts only while the application starts.
  if (listening.empty()) return ports;
  DIR* dir = opendir(kDescriptors);
  if (dir == nullptr) return ports;
  int dirFd = dirfd(dir);
  char target[64];
  while (struct dirent* entry = readdir(dir)) {
    ssize_t length = readlinkat(dirFd, entry->d_name, target, sizeof target - 1);
    if (length <= 0) continue;
    std::string_view link(target, static_cast<std::size_t>(length));
    unsigned long long inode = 0;
    if (!link.starts_with(kSocketLink) || !link.ends_with(']') ||
        !parseNumber(link.substr(kSocketLink.size(), link.size() - kSocketLink.size() - 1), inode, 10)) {
      continue;
    }
    if (auto found = listening.find(inode); found != listening.end()) ports.insert(found->second);
  }
  closedir(dir);
  return ports;
}
