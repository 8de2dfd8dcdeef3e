// sin = single instance: one running instance of an application per user.
// The first launch listens on a Unix socket in a directory only its user can
// enter; a later launch hands it its arguments, working directory and
// activation token there and ends with the status it answers. This module
// owns the directory, the socket and the message; what the running instance
// does with a request is its caller's.
#pragma once

#include <functional>
#include <string>
#include <vector>

/// What a later launch hands the running instance.
struct SinRequest {
  std::vector<std::string> args;
  std::string workingDirectory;
  std::string activationToken;  ///< XDG_ACTIVATION_TOKEN, else DESKTOP_STARTUP_ID; may be empty
};

/// What claiming an instance id found.
struct SinClaim {
  enum class Kind {
    kListening,  ///< no instance ran: this one listens on fd, bound at socketPath
    kAnswered,   ///< an instance took the request and answered status
    kFailed,     ///< error says why (a whole message)
  };
  Kind kind = Kind::kFailed;
  int fd = -1;
  std::string socketPath;
  int status = 0;
  std::string error;
};

/// The directory of the user's instance sockets: $XDG_RUNTIME_DIR/jlauncher
/// when XDG_RUNTIME_DIR is absolute, else /tmp/jlauncher-<uid>; created
/// 0700, and trusted only as a directory (not a link) the effective user
/// owns that no one else may enter. Empty with why filled otherwise.
std::string sinPrivateDirectory(std::string& why);
/// Connects to the instance id of the user, or, when none listens, listens
/// in its place. A socket left by an instance that ended is replaced; a lock
/// file beside it keeps two first launches from both listening.
SinClaim sinClaim(const std::string& id, const SinRequest& request);
/// The request as it travels: a header line, then the working directory, the
/// token and each argument, each ended by a NUL.
std::string sinEncodeRequest(const SinRequest& request);
/// The request message decodes to; false for anything malformed or too
/// large.
bool sinDecodeRequest(const std::string& message, SinRequest& request);
/// Accepts one client on the listening fd: a client of another user is
/// closed at once (traced); otherwise its request goes to handle and the
/// status handle returns is answered. False when the socket no longer
/// accepts.
bool sinServeOne(int fd, const std::function<int(const SinRequest&)>& handle);
