#include "launcher/sockets.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>

#include "host/platform.h"
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
}  // namespace

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
