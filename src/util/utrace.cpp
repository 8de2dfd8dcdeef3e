// The launcher's diagnostic trace: one process-wide record, no initialisation
// call. The first trace call reads UTRACE; after that a disabled trace costs
// one test of `production`.

#include "util/utrace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "util/utl.h"

// constinit: modules may trace from their own static initialisers, so the
// record must hold its initial values before any dynamic initialisation runs.
constinit UtTraceData ut_TraceData{};

namespace {

constexpr char kOverflowMessage[] = "UTRACE BUFFER OVERFLOW!!!!\n";
constexpr int kOpenMode = 0666;

// Set by the launch before it traces; read by every tracing thread.
std::atomic<void (*)()> overflowHandler{nullptr};

// The local time as asctime prints it ("Sun Sep 16 01:03:52 1973\n"). The
// re-entrant forms are used because the first trace call may come from a
// signal thread while the main thread works.
std::string asctimeNow() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  char text[64] = "";
  tzset();
  if (localtime_r(&now, &local) == nullptr || asctime_r(&local, text) == nullptr) {
    return "\n";  // keep the header's shape even if the clock is unusable
  }
  return text;
}

// Writes one line from a started argument list (the body of ut_tproda).
__attribute__((format(printf, 1, 0))) void ut_prod(const char* format, va_list args) {
  if (ut_TraceData.production == 0 || ut_TraceData.fd == -1) return;

  // A stack buffer: lines come from signal handlers too, which must not
  // allocate. One byte beyond the longest line holds the newline.
  char line[kTraceLineMax + 1];
  int length = std::vsnprintf(line, sizeof line, format, args);
  if (length < 0) return;  // unformattable text: nothing sensible to write
  // vsnprintf reports the length the whole text would have had, so a cut
  // line is recognised here rather than silently written short.
  if (length > kTraceLineMax) {
    ssize_t ignored = write(STDERR_FILENO, kOverflowMessage, sizeof kOverflowMessage - 1);
    (void)ignored;
    if (void (*handler)() = overflowHandler.load()) handler();
    return;
  }
  line[length] = '\n';
  // One write per line keeps lines from different threads whole. Its result
  // is ignored on purpose: a trace file is non-blocking, and a full pipe
  // must cost trace lines, not stop the launcher.
  ssize_t ignored = write(ut_TraceData.fd, line, static_cast<size_t>(length) + 1);
  (void)ignored;

  if (ut_TraceData.commit != 0) ut_tcommit();
}

}  // namespace

void ut_tproda(const char* format, ...) {
  if (ut_TraceData.initPending != 0) {
    char setting[kTraceSettingSize];
    ut_treset(GetTraceSetting(setting, kTraceSettingSize));
  }
  if (ut_TraceData.production == 0) return;

  va_list args;
  va_start(args, format);
  ut_prod(format, args);
  va_end(args);
}

void ut_tprodon() {
  ut_TraceData.level = 0;
  ut_TraceData.initPending = 0;
  ut_TraceData.production = 1;
}

void ut_ton(int level) {
  ut_TraceData.level = level;
  ut_TraceData.initPending = 0;
  ut_TraceData.production = 0;
}

// UTRACE is read again at the next trace call: one made before (from a static
// initialiser) could not open the file it names.
void ut_tsetfileopener(UtFileOpener opener) {
  ut_TraceData.openFile = opener;
  ut_TraceData.initPending = 1;
}

int ut_tison() { return ut_TraceData.level != 0 ? 1 : 0; }

char* GetTraceSetting(char* buffer, int size) {
  const char* value = std::getenv("UTRACE");
  if (value == nullptr || size <= 0) return nullptr;
  // A longer value is cut rather than refused: its leading options still
  // apply, which is what the user most likely meant.
  std::size_t length = strnlen(value, static_cast<std::size_t>(size) - 1);
  std::memcpy(buffer, value, length);
  buffer[length] = '\0';
  return buffer;
}

// Setting grammar: options introduced by '-', each running to the next blank
// or tab, so a value (a file path in particular) may itself contain '-'. The
// letter after '-' names the option, the rest of the option is its value:
//   -a        append to the trace file instead of truncating it
//   -c        commit after every line
//   -f<path>  trace file
//   -l<n>     level tracing at level n
//   -p        production tracing
// Other letters are accepted and ignored. Options apply in order.
void ut_treset(const char* setting) {
  ut_TraceData.level = 0;
  ut_TraceData.initPending = 0;
  ut_TraceData.production = 0;
  // A set-ID launcher traces nothing its caller asks for: the trace shows
  // the configuration, which the caller may not be allowed to read (the
  // launcher refuses to start with UTRACE set).
  if (setting == nullptr || utlIsSetIdMode()) return;

  const std::string header =
      "\nTRACE OUTPUT " + asctimeNow() + "\t\t\t\tusing " + setting + "\n\n";

  // Options are cut out by terminating them in place, so work on a copy.
  std::string copy(setting);
  const char* path = nullptr;
  int openFlags = O_CREAT | O_RDWR | O_TRUNC;

  char* scan = copy.data();
  while (char* option = std::strchr(scan, '-')) {
    char* end = std::strpbrk(option, " \t");
    if (end != nullptr) *end = '\0';
    const char letter = option[1];
    char* value = letter != '\0' ? option + 2 : option + 1;
    switch (letter) {
      case 'a':
        openFlags = (openFlags & ~O_TRUNC) | O_APPEND;
        break;
      case 'c':
        ut_TraceData.commit = 1;
        break;
      case 'f':
        path = value;
        break;
      case 'l':
        ut_ton(static_cast<int>(std::strtol(value, nullptr, 10)));
        break;
      case 'p':
        ut_tprodon();
        break;
      default:
        break;
    }
    if (end == nullptr) break;
    scan = end + 1;
  }

  if (ut_TraceData.level != 0) {
    if (ut_TraceData.fd > 2) close(ut_TraceData.fd);
    if (path != nullptr && *path != '\0') {
      // Not inherited by the JVM's children or a restarted launcher. The
      // trace goes where it is named, often /tmp: it is opened as every
      // file the launcher writes is, so a link or a FIFO someone else put
      // there is neither followed nor waited on, and only a regular file of
      // the user's own is emptied and takes the trace.
      std::string why;
      ut_TraceData.fd =
          ut_TraceData.openFile ? ut_TraceData.openFile(path, openFlags & ~O_TRUNC, kOpenMode, why) : -1;
      if (ut_TraceData.fd != -1 && (openFlags & O_TRUNC) != 0 && ftruncate(ut_TraceData.fd, 0) != 0) {
        close(ut_TraceData.fd);
        ut_TraceData.fd = -1;
      }
      if (ut_TraceData.fd != -1) {
        int nonBlocking = 1;
        ioctl(ut_TraceData.fd, FIONBIO, &nonBlocking);
        ssize_t ignored = write(ut_TraceData.fd, header.data(), header.size());
        (void)ignored;
      }
    } else {
      ut_TraceData.fd = 1;
    }
  }

  ut_TraceData.initPending = 0;
}

void ut_tcommit() {}

void ut_tonoverflow(void (*handler)()) { overflowHandler.store(handler); }
