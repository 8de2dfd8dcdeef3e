// Shared containers, path functions, string and environment functions.
#include "util/utl.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <list>
#include <unordered_set>

#include "util/platform.h"
#include "util/utrace.h"

extern "C" char** environ;

// ---------------------------------------------------------------------------
// NameValueList

NameValueList utlListCreate() {
  NameValueList list;
  list.entries.reserve(static_cast<std::size_t>(list.capacity));
  return list;
}

void utlListAdd(NameValueList& list, std::string_view name, std::string_view value) {
  auto [position, added] = list.positions.try_emplace(std::string(name), list.entries.size());
  if (!added) {
    list.entries[position->second].value = value;
    return;
  }
  if (list.entries.size() >= static_cast<std::size_t>(list.capacity)) {
    list.capacity *= 2;
    list.entries.reserve(static_cast<std::size_t>(list.capacity));
  }
  list.entries.push_back({std::string(name), std::string(value)});
}

void utlListAddNameEqualValue(NameValueList& list, std::string_view text) {
  const std::size_t equals = text.find('=');
  if (equals == std::string_view::npos || equals == 0) {
    ut_tproda("No variable name specified in <%s>", std::string(text).c_str());
    return;
  }
  utlListAdd(list, text.substr(0, equals), text.substr(equals + 1));
}

const char* utlListGet(const NameValueList& list, std::string_view name) {
  auto position = list.positions.find(std::string(name));
  return position == list.positions.end() ? nullptr : list.entries[position->second].value.c_str();
}

NameValueEnum utlListEnumStart(const NameValueList& list) {
  NameValueEnum e;
  e.entries.reserve(list.entries.size());
  for (const NameValueEntry& entry : list.entries) e.entries.push_back(&entry);
  return e;
}

const NameValueEntry* utlListEnumNext(NameValueEnum& e) {
  if (e.cursor >= e.entries.size()) return nullptr;
  return e.entries[e.cursor++];
}

// ---------------------------------------------------------------------------
// PathArray

PathArray::PathArray(std::initializer_list<std::string> paths) {
  for (const std::string& path : paths) add(path);
}

bool PathArray::add(std::string path) {
  if (!index_.insert(path).second) return false;
  paths_.push_back(std::move(path));
  return true;
}

void PathArray::remove(const std::string& path) {
  if (index_.erase(path) == 0) return;
  std::erase(paths_, path);
}

void PathArray::removeAll(const PathArray& other) {
  if (&other == this) {
    clear();
    return;
  }
  std::size_t before = paths_.size();
  std::erase_if(paths_, [&](const std::string& path) { return other.contains(path); });
  if (paths_.size() == before) return;
  for (const std::string& path : other) index_.erase(path);
}

void PathArray::sortFrom(std::size_t first, bool (*less)(const std::string&, const std::string&)) {
  std::sort(paths_.begin() + static_cast<std::ptrdiff_t>(std::min(first, paths_.size())), paths_.end(), less);
}

void PathArray::clear() {
  paths_.clear();
  index_.clear();
}

namespace {

// Appends path unless present; a path that does not exist is traced and left
// out. One present already was checked when it was added.
void addExistingOnce(PathArray& array, std::string path) {
  if (array.contains(path)) return;
  if (!utlFileExists(path)) {
    ut_tproda("Ignoring '%s' - it does not exist", path.c_str());
    return;
  }
  array.add(std::move(path));
}

// Calls add for each non-empty element of a ':'-separated list.
template <typename Add>
void forEachPathElement(const char* list, Add add) {
  if (list == nullptr) return;
  std::string_view rest(list);
  while (!rest.empty()) {
    const std::size_t colon = rest.find(':');
    const std::string_view element = rest.substr(0, colon);
    if (!element.empty()) add(element);
    if (colon == std::string_view::npos) break;
    rest.remove_prefix(colon + 1);
  }
}

}  // namespace

void utlAddPathUnique(PathArray& array, std::string_view path, std::string_view anchor) {
  addExistingOnce(array, utlMakeAbsPath(path, anchor));
}

void utlPathStringToArray(PathArray& array, const char* list, std::string_view anchor) {
  forEachPathElement(list, [&](std::string_view element) { utlAddPathUnique(array, element, anchor); });
}

void utlJoinPathList(PathArray& array, const char* list) {
  // Still checked: a file removed since it was added is dropped here.
  forEachPathElement(list, [&](std::string_view element) { addExistingOnce(array, std::string(element)); });
}

std::optional<std::string> utlPathArrayToString(const PathArray& array) {
  if (array.empty()) return std::nullopt;
  std::string joined = array.front();
  for (std::size_t i = 1; i < array.size(); ++i) {
    joined += ':';
    joined += array[i];
  }
  return joined;
}

void utlRemoveFromPath(PathArray& array, std::string_view path) {
  if (array.empty()) return;
  std::string wanted(path);
  utlFixDirSeparators(wanted);
  array.remove(wanted);
}

void utlRemoveFromArray(PathArray& array, const PathArray& remove) { array.removeAll(remove); }

// ---------------------------------------------------------------------------
// Path strings

std::string& utlFixDirSeparators(std::string& path) {
  std::replace(path.begin(), path.end(), '\\', '/');
  return path;
}

char* utlFixDirSeparators(char* path) {
  if (path == nullptr) return path;
  for (char* p = path; *p != '\0'; ++p) {
    if (*p == '\\') *p = '/';
  }
  return path;
}

namespace {

/// The text utlMakeAbsPath normalizes: path itself, or path under anchor.
std::string anchoredPath(std::string_view path, std::string_view anchor) {
  if (anchor.empty() || path.starts_with('/')) return std::string(path);
  std::string base(anchor);
  if (!base.ends_with('/')) base += '/';
  base += path;
  return base;
}

// Already in the form normalizePath makes: no backslash, no empty, "." or
// ".." component, no trailing '/'. Most paths of a configuration are.
bool isNormalized(std::string_view text) {
  if (text == "/") return true;
  if (text.empty() || text.back() == '/' || text.find('\\') != std::string_view::npos) return false;
  for (std::size_t start = text.front() == '/' ? 1 : 0; start <= text.size();) {
    std::size_t end = std::min(text.find('/', start), text.size());
    std::string_view component = text.substr(start, end - start);
    if (component.empty() || component == "." || component == "..") return false;
    start = end + 1;
  }
  return true;
}

/// Lexical normalization of text: '/' and '\' both separate components,
/// "." and empty components vanish, ".." cancels the component before it.
std::string normalizePath(std::string_view text) {
  if (isNormalized(text)) return std::string(text);
  const bool absolute = text.starts_with('/');
  std::vector<std::string_view> kept;
  std::size_t leadingParents = 0;
  while (!text.empty()) {
    const std::size_t separator = text.find_first_of("/\\");
    const std::string_view component = text.substr(0, separator);
    text.remove_prefix(separator == std::string_view::npos ? text.size() : separator + 1);
    if (component.empty() || component == ".") continue;
    if (component == "..") {
      if (kept.size() > leadingParents) {
        kept.pop_back();
      } else if (!absolute) {
        // A relative path keeps the ".." it cannot resolve; above the root
        // there is nothing, so an absolute path drops it.
        kept.push_back(component);
        ++leadingParents;
      }
      continue;
    }
    kept.push_back(component);
  }
  std::string result;
  for (const std::string_view component : kept) {
    if (!result.empty() || absolute) result += '/';
    result += component;
  }
  if (result.empty()) result = absolute ? "/" : ".";
  return result;
}

}  // namespace

std::string utlMakeAbsPath(std::string_view path, std::string_view anchor) {
  std::string result = normalizePath(anchoredPath(path, anchor));
  // Never cut: a truncated path would silently name another file, while the
  // whole one is refused by the system where it is used.
  if (result.size() > static_cast<std::size_t>(kPathMax - 1)) {
    ut_tproda("Path longer than %d characters: <%s>", kPathMax - 1, result.c_str());
  }
  return result;
}

bool utlFileExists(const char* path) {
  struct stat info;
  return path != nullptr && stat(path, &info) == 0;
}

const char* utlEnsurePathIsSecure(const char* path) { return path; }

// ---------------------------------------------------------------------------
// Strings and the environment

std::optional<std::vector<std::string>> utlSplitWords(std::string_view text) {
  constexpr std::string_view kDoubleQuoteEscapes = "\"\\$`\n";
  constexpr std::size_t npos = std::string_view::npos;
  std::vector<std::string> words;
  std::string word;
  bool inWord = false;  // a quoted empty text is a word too
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == ' ' || c == '\t' || c == '\n') {
      if (inWord) words.push_back(std::move(word));
      word.clear();
      inWord = false;
      continue;
    }
    if (c == '\\' && i + 1 < text.size() && text[i + 1] == '\n') {
      ++i;  // a line continuation: no character, and no word of its own
      continue;
    }
    inWord = true;
    if (c == '\\') {
      if (++i == text.size()) return std::nullopt;
      word += text[i];
    } else if (c == '\'') {
      std::size_t close = text.find('\'', i + 1);
      if (close == npos) return std::nullopt;
      word += text.substr(i + 1, close - i - 1);
      i = close;
    } else if (c == '"') {
      for (++i;; ++i) {
        if (i == text.size()) return std::nullopt;
        if (text[i] == '"') break;
        bool escaped = text[i] == '\\' && i + 1 < text.size() && kDoubleQuoteEscapes.find(text[i + 1]) != npos;
        if (escaped) {
          if (text[++i] != '\n') word += text[i];
        } else {
          word += text[i];
        }
      }
    } else {
      word += c;
    }
  }
  if (inWord) words.push_back(std::move(word));
  return words;
}

void utlInit() {}

namespace {

// What putenv was handed: it keeps the pointer, so a definition must outlive
// its use by the environment. A list never moves its elements.
std::list<std::string>& putDefinitions() {
  static auto* definitions = new std::list<std::string>;  // never destroyed: the environment outlives statics
  return *definitions;
}

}  // namespace

void utlTerm() {
  std::unordered_set<const char*> held;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) held.insert(*entry);
  putDefinitions().remove_if([&](const std::string& definition) { return !held.contains(definition.data()); });
}

char* utlStrtok(char** state, char* text, const char* delimiters) {
  char* scan = text != nullptr ? text : *state;
  if (scan != nullptr) scan += std::strspn(scan, delimiters);
  if (scan == nullptr || *scan == '\0') {
    *state = nullptr;
    return nullptr;
  }
  char* end = scan + std::strcspn(scan, delimiters);
  if (*end != '\0') *end++ = '\0';
  *state = end;
  return scan;
}

std::string utlDblBackSlash(std::string_view text) {
  std::string result;
  result.reserve(text.size() * 2);
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      result += text[i];
      continue;
    }
    // A pair is already escaped: copy it and step over its second half.
    if (i + 1 < text.size() && text[i + 1] == '\\') ++i;
    result += "\\\\";
  }
  return result;
}

std::vector<std::string> utlSplitList(std::string_view list, const char* delimiters) {
  std::vector<std::string> elements;
  std::string copy(list);
  char* state = nullptr;
  for (char* token = utlStrtok(&state, copy.data(), delimiters); token != nullptr;
       token = utlStrtok(&state, nullptr, delimiters)) {
    elements.emplace_back(token);
  }
  return elements;
}

int utlEnforceEnvValue(const char* name, const char* value, const char* separator, int position) {
  const char* current = std::getenv(name);
  if (current != nullptr) {
    const bool present = separator != nullptr
                             ? std::ranges::count(utlSplitList(current, separator), value) > 0
                             : std::strcmp(current, value) == 0;
    if (present) return 0;
  }
  std::string definition = std::string(name) + '=';
  const bool extendList = separator != nullptr && current != nullptr && *current != '\0';
  if (extendList && position == 0) {
    definition += std::string(current) + separator + value;
  } else if (extendList && position == 1) {
    definition += std::string(value) + separator + current;
  } else {
    definition += value;
  }
  utlPutEnv(std::move(definition));
  return 1;
}

int utlEnforceLackOfEnvValue(const char* name, const char* value, const char* separator) {
  const char* current = std::getenv(name);
  if (current == nullptr) return 0;
  std::string definition = std::string(name) + '=';
  bool removed = false;
  bool first = true;
  for (const std::string& element : utlSplitList(current, separator)) {
    if (element == value) {
      removed = true;
      continue;
    }
    if (!first) definition += separator;
    definition += element;
    first = false;
  }
  if (!removed) return 0;
  utlPutEnv(std::move(definition));
  return 1;
}

void utlPutEnv(std::string definition) {
  putDefinitions().push_back(std::move(definition));
  putenv(putDefinitions().back().data());
}

std::vector<std::string> utlCopyEnvironment() {
  std::vector<std::string> environment;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) environment.emplace_back(*entry);
  return environment;
}

void utlSetInEnvironment(std::vector<std::string>& environment, std::string_view name,
                         const std::optional<std::string>& value) {
  std::erase_if(environment, [name](const std::string& entry) {
    return entry.size() > name.size() && entry.starts_with(name) && entry[name.size()] == '=';
  });
  if (value) environment.push_back(std::string(name) + "=" + *value);
}

void utlExitProcess(int status) { std::exit(status); }
