#include "host/sin.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>

#include "host/hmd.h"
#include "util/utrace.h"

namespace {

constexpr const char* kHeader = "jlauncher-activate 1\n";
// A request is a command line: the kernel's own argument limit is of this
// order, and a client must not make the instance hold more.
constexpr std::size_t kMaxRequest = 2 * 1024 * 1024;
constexpr std::size_t kMaxArgs = 65536;
// A client that sends nothing must not stop the instance serving others.
constexpr int kClientTimeoutSeconds = 10;
constexpr int kBacklog = 16;

constexpr const char* kNotPrivateMsg =
    "Error: '%s' is not a private directory of this user (%s); the application's single instance cannot "
    "listen there.\n";
constexpr const char* kSocketTroubleMsg = "Error: The single-instance socket '%s' cannot be used: %s.\n";
constexpr const char* kNoAnswerMsg =
    "Error: The running instance at '%s' gave no answer; it may have ended or refused the request.\n";

std::string format(const char* pattern, const std::string& a, const std::string& b = {}) {
  int size = std::snprintf(nullptr, 0, pattern, a.c_str(), b.c_str());
  std::string text(static_cast<std::size_t>(size), '\0');
  std::snprintf(text.data(), text.size() + 1, pattern, a.c_str(), b.c_str());
  return text;
}

SinClaim failed(const char* pattern, const std::string& path, const std::string& why) {
  SinClaim claim;
  claim.error = format(pattern, path, why);
  return claim;
}

bool fillAddress(const std::string& path, sockaddr_un& address) {
  address = {};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return true;
}

bool writeAll(int fd, const std::string& text) {
  for (std::size_t done = 0; done < text.size();) {
    ssize_t n = send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Everything up to the end of the stream, or false past limit or on error.
bool readAll(int fd, std::string& text, std::size_t limit) {
  char buffer[8192];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    if (text.size() + static_cast<std::size_t>(n) > limit) return false;
    text.append(buffer, static_cast<std::size_t>(n));
  }
}

// Sends the request and waits, however long the instance takes, for its
// status.
SinClaim forward(int fd, const std::string& path, const SinRequest& request) {
  std::string answer;
  bool answered = writeAll(fd, sinEncodeRequest(request)) && shutdown(fd, SHUT_WR) == 0 && readAll(fd, answer, 16);
  close(fd);
  int status = 0;
  auto [end, error] = std::from_chars(answer.data(), answer.data() + answer.size(), status);
  if (!answered || error != std::errc{} || end != answer.data() + answer.size() - 1 || answer.back() != '\n') {
    return failed(kNoAnswerMsg, path, "");
  }
  SinClaim claim;
  claim.kind = SinClaim::Kind::kAnswered;
  claim.status = status;
  return claim;
}

bool isPrivateDirectory(const std::string& path, std::string& why) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) {
    why = std::strerror(errno);
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    why = S_ISLNK(st.st_mode) ? "a symbolic link" : "not a directory";
  } else if (st.st_uid != geteuid()) {
    why = "owned by user " + std::to_string(st.st_uid);
  } else if ((st.st_mode & 077) != 0) {
    why = "others may enter it";
  } else {
    return true;
  }
  return false;
}

}  // namespace

std::string sinPrivateDirectory(std::string& why) {
  const char* runtime = hmdGetEnvironmentValue("XDG_RUNTIME_DIR");
  std::string dir = runtime != nullptr && runtime[0] == '/' ? std::string(runtime) + "/jlauncher"
                                                            : "/tmp/jlauncher-" + std::to_string(geteuid());
  if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    why = format(kNotPrivateMsg, dir, std::strerror(errno));
    return {};
  }
  std::string reason;
  if (!isPrivateDirectory(dir, reason)) {
    why = format(kNotPrivateMsg, dir, reason);
    return {};
  }
  return dir;
}

SinClaim sinClaim(const std::string& id, const SinRequest& request) {
  SinClaim claim;
  std::string dir = sinPrivateDirectory(claim.error);
  if (dir.empty()) return claim;
  std::string path = dir + "/" + id + ".socket";
  sockaddr_un address;
  if (!fillAddress(path, address)) return failed(kSocketTroubleMsg, path, "the path is too long");

  // The lock is held from the first look at the socket until this launch
  // listens there or has reached the instance that does.
  std::string lockPath = dir + "/" + id + ".lock";
  int lock = open(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (lock < 0 || flock(lock, LOCK_EX) != 0) {
    std::string why = std::strerror(errno);
    if (lock >= 0) close(lock);
    return failed(kSocketTroubleMsg, lockPath, why);
  }
  auto unlockWith = [lock](SinClaim result) {
    close(lock);
    return result;
  };

  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return unlockWith(failed(kSocketTroubleMsg, path, std::strerror(errno)));
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    close(lock);
    ut_tproda("Handing the request to the running instance at <%s>", path.c_str());
    return forward(fd, path, request);
  }
  int refused = errno;
  // Nobody listens: an instance ended without removing its socket. Only a
  // socket is removed; anything else in its place is someone's mistake to
  // show, not to delete.
  if (refused == ECONNREFUSED) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode) || unlink(path.c_str()) != 0) {
      close(fd);
      return unlockWith(failed(kSocketTroubleMsg, path, "something other than a socket is in its place"));
    }
    ut_tproda("Replaced the stale single-instance socket <%s>", path.c_str());
  } else if (refused != ENOENT) {
    close(fd);
    return unlockWith(failed(kSocketTroubleMsg, path, std::strerror(refused)));
  }
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, kBacklog) != 0) {
    std::string why = std::strerror(errno);
    close(fd);
    return unlockWith(failed(kSocketTroubleMsg, path, why));
  }
  ut_tproda("Listening for later launches at <%s>", path.c_str());
  claim.kind = SinClaim::Kind::kListening;
  claim.fd = fd;
  claim.socketPath = path;
  return unlockWith(claim);
}

std::string sinEncodeRequest(const SinRequest& request) {
  std::string message = kHeader;
  for (const std::string* field : {&request.workingDirectory, &request.activationToken}) {
    message += *field;
    message += '\0';
  }
  for (const std::string& arg : request.args) {
    message += arg;
    message += '\0';
  }
  return message;
}

bool sinDecodeRequest(const std::string& message, SinRequest& request) {
  std::size_t headerSize = std::strlen(kHeader);
  if (message.size() > kMaxRequest || message.compare(0, headerSize, kHeader) != 0) return false;
  if (message.size() < headerSize + 2 || message.back() != '\0') return false;
  std::vector<std::string> fields;
  for (std::size_t start = headerSize; start < message.size();) {
    std::size_t end = message.find('\0', start);
    fields.emplace_back(message, start, end - start);
    start = end + 1;
  }
  if (fields.size() < 2 || fields.size() - 2 > kMaxArgs) return false;
  request.workingDirectory = fields[0];
  request.activationToken = fields[1];
  request.args.assign(fields.begin() + 2, fields.end());
  return true;
}

bool sinServeOne(int fd, const std::function<int(const SinRequest&)>& handle) {
  int client = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
  if (client < 0) return errno == EINTR || errno == ECONNABORTED || errno == EMFILE || errno == ENFILE;
  ucred peer{};
  socklen_t size = sizeof peer;
  if (getsockopt(client, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || peer.uid != geteuid()) {
    ut_tproda("Refused a single-instance client of user %d (process %d)", static_cast<int>(peer.uid),
              static_cast<int>(peer.pid));
    close(client);
    return true;
  }
  timeval timeout{.tv_sec = kClientTimeoutSeconds, .tv_usec = 0};
  setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  std::string message;
  SinRequest request;
  if (!readAll(client, message, kMaxRequest) || !sinDecodeRequest(message, request)) {
    ut_tproda("Ignored a malformed single-instance request of %zu bytes", message.size());
    close(client);
    return true;
  }
  int status = handle(request);
  writeAll(client, std::to_string(status) + "\n");
  close(client);
  return true;
}
