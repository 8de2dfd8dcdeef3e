#include "launcher/sockets.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>

#include "util/platform.h"
#include "util/utl.h"

namespace {
constexpr const char* kCantCreateSocketMsg = "Can't create socket\n";
constexpr const char* kCantSendMsg = "Can't send message\n";
constexpr const char* kCantCloseMsg = "Error on closing socket\n";

// A listener that went away must not kill the launcher with SIGPIPE. Solaris
// has no such flag for send, so the signal is ignored around the send there
// (forwarding happens before any other thread exists).
constexpr int kSendFlags = kSolaris ? 0 : MSG_NOSIGNAL;

ssize_t sendWithoutSigpipe(int fd, const char* message) {
  if constexpr (!kSolaris) return send(fd, message, std::strlen(message), kSendFlags);
  struct sigaction ignore = {};
  struct sigaction previous = {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &previous);
  ssize_t sent = send(fd, message, std::strlen(message), kSendFlags);
  sigaction(SIGPIPE, &previous, nullptr);
  return sent;
}

/// The kernel's tables of TCP sockets, one per address family.
struct TcpTable {
  const char* path;
  bool ipv6;
};
constexpr TcpTable kTcpTables[] = {{"/proc/net/tcp", false}, {"/proc/net/tcp6", true}};
constexpr const char* kListenState = "0A";

// The kernel prints an address as the 32-bit words it stores, each in the
// host's order: comparing words read back the same way holds on every host.
using AddressWords = std::array<std::uint32_t, 4>;

AddressWords wordsOf(const void* address, std::size_t size) {
  AddressWords words{};
  std::memcpy(words.data(), address, size);
  return words;
}

// The local addresses at which a connection to 127.0.0.1 may arrive.
bool takesLoopback(const AddressWords& address, bool ipv6) {
  in_addr loopback{htonl(INADDR_LOOPBACK)};
  if (!ipv6) {
    AddressWords v4 = wordsOf(&loopback, sizeof loopback);
    return address[0] == v4[0] || address[0] == 0;
  }
  in6_addr mapped{};
  inet_pton(AF_INET6, "::ffff:127.0.0.1", &mapped);
  return address == wordsOf(&mapped, sizeof mapped) || address == AddressWords{};
}

bool parseHex(std::string_view text, std::uint32_t& value) {
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
  return error == std::errc{} && end == text.data() + text.size();
}

// "0100007F:1F90" (IPv4) or 32 hex digits and a port (IPv6).
bool parseLocalAddress(std::string_view text, AddressWords& address, std::uint32_t& port, bool ipv6) {
  std::size_t digits = ipv6 ? 32 : 8;
  if (text.find(':') != digits) return false;
  for (std::size_t word = 0; word < digits / 8; ++word) {
    if (!parseHex(text.substr(word * 8, 8), address[word])) return false;
  }
  return parseHex(text.substr(digits + 1), port);
}

}  // namespace

Listener findLoopbackListener(int port) {
  Listener found = Listener::kNone;
  for (const TcpTable& table : kTcpTables) {
    std::ifstream lines(table.path);
    // Without the IPv4 table there is no telling who listens.
    if (!lines) {
      if (!table.ipv6) return Listener::kForeign;
      continue;
    }
    std::string line;
    std::getline(lines, line);  // the heading
    while (std::getline(lines, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, state, queues, timer, retransmits;
      long long uid = -1;
      fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid;
      AddressWords address{};
      std::uint32_t localPort = 0;
      if (!fields || state != kListenState || !parseLocalAddress(local, address, localPort, table.ipv6)) continue;
      if (localPort != static_cast<std::uint32_t>(port) || !takesLoopback(address, table.ipv6)) continue;
      if (uid != static_cast<long long>(geteuid()) && uid != static_cast<long long>(getuid())) return Listener::kForeign;
      found = Listener::kOwn;
    }
  }
  return found;
}

bool sendCommand(const char* hostName, int port, const char* message) {
  hostent* host = gethostbyname(hostName);
  if (host == nullptr || host->h_addr_list[0] == nullptr) return false;

  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  std::memcpy(&address.sin_addr, host->h_addr_list[0], sizeof(address.sin_addr));

  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) {
    utlReport("%s", kCantCreateSocketMsg);
    return false;
  }
  // A refused connection shows up as a failed send.
  (void)connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
  if (sendWithoutSigpipe(fd, message) < 0) {
    utlReport("%s", kCantSendMsg);
    close(fd);
    return false;
  }
  if (close(fd) != 0) {
    utlReport("%s", kCantCloseMsg);
    return false;
  }
  return true;
}
