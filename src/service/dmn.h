// dmn = daemon: running as a daemon: the pid file, the application's log file,
// the history that bounds restarts, and the systemd unit that runs the
// application as a service.
#pragma once

#include <string>
#include <string_view>
#include <vector>

/// Takes the restart history that the previous image of the launcher handed
/// on out of the environment (the application never sees it). Called once,
/// at start.
void dmnInit();
/// Forgets the pid file, the log file and the history.
void dmnTerm();

/// Writes the launcher's process id to path (absolute), under a temporary
/// name in the same directory first, mode 0644. A file naming this very
/// process (a restarted image) or a process that is gone or runs another
/// program is replaced; one naming another running instance of this
/// launcher ends the launch. In set-ID mode the directory must be one that
/// nobody else can change. False after a reported error.
bool dmnWritePidFile(const std::string& path, const char* name);
/// Removes the pid file this process wrote, when it ends (not before a
/// restart, whose new image is the same process).
void dmnRemovePidFile();

/// Sends standard output and error, the JVM's included, to <directory>/<name>.log
/// (appended, created 0640), unless they are the journal stream that
/// JOURNAL_STREAM names. In set-ID mode the directory must be one
/// that nobody else can change. False after a reported error.
bool dmnRedirectOutput(const std::string& directory, const char* name);
/// Opens the log file again under its name, after log rotation renamed it.
/// Runs on a signal thread, never in a handler.
void dmnReopenLog();

/// What a restart request decides, given the times (milliseconds on the
/// monotonic clock) of the restarts so far.
struct RestartPlan {
  bool allowed;                   ///< fewer than count restarts within the window
  std::vector<long long> history;  ///< the restarts still within the window, with this one when allowed
};
/// At most count restarts within seconds: restarts older than the window are
/// forgotten.
RestartPlan dmnPlanRestart(const std::vector<long long>& history, long long now, int count, int seconds);
/// Before the launcher executes itself again to restart the application
/// that ended with status: true when the limit allows it, and environment,
/// the new image's, then holds the history; false after a reported refusal.
bool dmnBeforeRestart(int status, int count, int seconds, std::vector<std::string>& environment);
/// Before a re-execution that is no restart of the application: environment,
/// the new image's, holds the history unchanged.
void dmnKeepHistory(std::vector<std::string>& environment);

/// One word of a systemd command line: quoted when systemd would split or
/// unescape it, with '%' and '$' doubled, which systemd would expand.
std::string dmnSystemdWord(std::string_view word);
/// What the unit that +unit prints is made of.
struct UnitRequest {
  std::string name;               ///< the application's name
  std::string launcher;           ///< the launcher's real path
  std::vector<std::string> args;  ///< the words after +unit: "--user NAME" first, then the service's command line
  std::string pidFile;            ///< the pidfile directive's, absolute; empty without one
  bool caches = false;            ///< the start-up cache or extracted jars or runtime: a cache directory
  bool reopensLog = false;        ///< daemonsupport: a hang-up reopens the log
  int restartCode = 0;            ///< restartonexit's code; 0 without
  bool readinessSet = false;      ///< the configuration says when the application is ready
};
/// The systemd unit that runs the launcher as a service, into unit: the
/// settings of systemd's that the configuration needs (CacheDirectory=,
/// RuntimeDirectory= for the pid file, ExecReload=, RestartForceExitStatus=)
/// and User= and Group= for --user NAME. False with why when --user has no
/// name, or the name, the user or the pid file holds a control character,
/// which no setting of a unit can hold.
bool dmnUnit(const UnitRequest& request, std::string& unit, std::string& why);
