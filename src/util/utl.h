// utl = utilities: shared containers, path functions, string and environment
// functions. util stands on the C and C++ libraries alone.
#pragma once

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

// ---------------------------------------------------------------------------
// NameValueList: an ordered list of name/value pairs with exact,
// case-sensitive names; adding an existing name replaces its value in place.

struct NameValueEntry {
  std::string name;
  std::string value;
};

/// Room for 4 entries when created; the capacity doubles whenever it is full.
/// Names are found through a hash index of their positions.
struct NameValueList {
  int capacity = 4;
  std::vector<NameValueEntry> entries;
  std::unordered_map<std::string, std::size_t> positions;
};

/// A snapshot of a list for enumeration; it points into the list, which must
/// not change while the snapshot is in use.
struct NameValueEnum {
  std::vector<const NameValueEntry*> entries;
  std::size_t cursor = 0;
};

/// A new, empty list with room for 4 entries.
NameValueList utlListCreate();
/// Adds name=value, or replaces the value when the name exists.
void utlListAdd(NameValueList& list, std::string_view name, std::string_view value);
/// Adds from a "name=value" text split at its first '='; a text without '='
/// or without a name is refused with a trace line.
void utlListAddNameEqualValue(NameValueList& list, std::string_view text);
/// The value stored for exactly this name, or null.
const char* utlListGet(const NameValueList& list, std::string_view name);
/// A snapshot of the entries in insertion order.
NameValueEnum utlListEnumStart(const NameValueList& list);
/// The next entry of the snapshot, or null after the last.
const NameValueEntry* utlListEnumNext(NameValueEnum& e);

// ---------------------------------------------------------------------------
// PathArray: normalized, existing, pairwise different paths. An empty array
// is the "null" array of the launcher's path lists.

/// The paths in order, with a hash index beside them so that telling whether
/// a path is present costs the same at every size.
class PathArray {
 public:
  using const_iterator = std::vector<std::string>::const_iterator;

  PathArray() = default;
  /// The given paths in order, each once.
  PathArray(std::initializer_list<std::string> paths);

  const_iterator begin() const { return paths_.begin(); }
  const_iterator end() const { return paths_.end(); }
  std::size_t size() const { return paths_.size(); }
  bool empty() const { return paths_.empty(); }
  const std::string& operator[](std::size_t i) const { return paths_[i]; }
  const std::string& front() const { return paths_.front(); }
  bool contains(const std::string& path) const { return index_.contains(path); }

  /// Appends path unless it is present; true when it was appended.
  bool add(std::string path);
  /// Removes path when present.
  void remove(const std::string& path);
  /// Removes every path that other holds, in one pass.
  void removeAll(const PathArray& other);
  /// Sorts the paths from position first on, by less.
  void sortFrom(std::size_t first, bool (*less)(const std::string&, const std::string&));
  void clear();

  bool operator==(const PathArray& other) const { return paths_ == other.paths_; }

 private:
  std::vector<std::string> paths_;
  std::unordered_set<std::string> index_;
};

/// Normalizes path (anchored as utlMakeAbsPath does); appends it when it
/// exists and is not yet present (a missing path is traced and left out).
void utlAddPathUnique(PathArray& array, std::string_view path, std::string_view anchor = {});
/// Splits a ':'-separated list (empty elements skipped) and adds each element
/// with utlAddPathUnique.
void utlPathStringToArray(PathArray& array, const char* list, std::string_view anchor = {});
/// Appends the elements of a ':'-separated list of paths that are already
/// normalized (the launcher's own joined arrays), each once, when they still
/// exist.
void utlJoinPathList(PathArray& array, const char* list);
/// The elements joined by ':', or none for an empty array.
std::optional<std::string> utlPathArrayToString(const PathArray& array);
/// Removes every element equal to path (backslashes read as '/').
void utlRemoveFromPath(PathArray& array, std::string_view path);
/// Removes every element of remove from array.
void utlRemoveFromArray(PathArray& array, const PathArray& remove);

// ---------------------------------------------------------------------------
// Path strings.

/// Replaces every backslash by '/', in place.
std::string& utlFixDirSeparators(std::string& path);
char* utlFixDirSeparators(char* path);
/// Lexical normalization of path. A relative path is first anchored at the
/// directory anchor names, when it names one (the configuration computes
/// which: cfgGetAnchorDirectory). Never looks at the file system.
std::string utlMakeAbsPath(std::string_view path, std::string_view anchor = {});
/// True when something of that name exists (any kind of file).
bool utlFileExists(const char* path);
inline bool utlFileExists(const std::string& path) { return utlFileExists(path.c_str()); }
/// The validation hook for class path texts: returns its argument.
const char* utlEnsurePathIsSecure(const char* path);

// ---------------------------------------------------------------------------
// Strings and the environment.

/// Start and end calls of the entry point. The end releases the definitions
/// that utlPutEnv handed to the environment and that it no longer holds.
void utlInit();
void utlTerm();

/// A re-entrant tokenizer over a writable string, with strtok_r's rules:
/// empty tokens are never returned; delimiters is a set of characters.
char* utlStrtok(char** state, char* text, const char* delimiters);
/// The elements of a delimited list as utlStrtok splits it: every character
/// of delimiters delimits, and empty elements vanish.
std::vector<std::string> utlSplitList(std::string_view list, const char* delimiters);
/// The words of text as a POSIX shell splits them (no expansions): blanks
/// and newlines separate words; a backslash keeps the next character; single
/// quotes keep everything up to the next one; inside double quotes a
/// backslash keeps only '"', '\\', '$', '`' and a newline (which it removes).
/// None for an unclosed quote or a backslash that ends the text.
std::optional<std::vector<std::string>> utlSplitWords(std::string_view text);
/// Doubles every backslash that is not part of a pair; pairs are kept.
std::string utlDblBackSlash(std::string_view text);
/// Makes sure the environment variable name holds value as a whole element of
/// its separator-delimited list (or as its whole value when separator is
/// null). position 0 appends, 1 prepends. Returns 1 when it changed the
/// environment, 0 when value was already there.
int utlEnforceEnvValue(const char* name, const char* value, const char* separator, int position);
/// Removes every element equal to value from the separator-delimited list in
/// the environment variable name. Returns 1 when something was removed.
int utlEnforceLackOfEnvValue(const char* name, const char* value, const char* separator);
/// Hands "name=value" to the environment. The text stays valid as long as the
/// environment holds it, as putenv requires.
void utlPutEnv(std::string definition);
/// The process's environment as "name=value" texts: the start of the
/// environment of a new image, edited without touching the process's own
/// while other threads may read it.
std::vector<std::string> utlCopyEnvironment();
/// Sets name to value in such a copy, or removes it there when value is none.
void utlSetInEnvironment(std::vector<std::string>& environment, std::string_view name,
                         const std::optional<std::string>& value);

/// Writes a message meant for the user (printf format, the message carries its
/// own line break) on standard error. Every user-facing error goes through here.
/// Control characters other than newline and tab, which may come from a
/// configuration line or an argument, are written escaped ("\x1b").
/// Where standard error is the journal's stream (utlIsJournalStream), each
/// line begins with its priority as sd-daemon(3) writes it: "<4>" for a
/// message beginning "Warning: ", "<5>" for "NOTE: ", "<3>" for the others.
void utlReport(const char* format, ...) __attribute__((format(printf, 1, 2)));
/// True when fd is the stream of systemd's journal that JOURNAL_STREAM
/// ("device:inode") names; never in set-ID mode, whose caller sets the
/// environment. A shell started by a service passes the variable on to
/// programs whose output goes elsewhere: only the stream itself counts.
bool utlIsJournalStream(int fd);
/// The text printf would write for format and its arguments.
std::string utlFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));

/// Ends the process with the given status through the C library's exit, so
/// that every deliberate end of the process is easy to find.
[[noreturn]] void utlExitProcess(int status);

/// True when the process runs with privileges its caller does not have: real
/// and effective user or group ids differ (a set-user-ID or set-group-ID
/// installation), or the system started it in secure mode. The caller's
/// environment, arguments and files must then not choose code or files.
bool utlIsSetIdMode();

/// The number of bytes (0, 1 or 2) of the control character at text[at]:
/// C0 other than newline and tab, DEL, and C1 as UTF-8 encodes it.
std::size_t utlControlLength(std::string_view text, std::size_t at);
/// The text with every control character of utlControlLength written as
/// "\xNN".
std::string utlEscapeControls(std::string_view text);
