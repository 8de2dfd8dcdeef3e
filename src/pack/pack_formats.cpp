// The files jlauncher-pack understands when it merges jars: manifests, and a
// table of the descriptor files that several libraries each contribute to,
// with how each format merges.

#include <algorithm>
#include <cctype>
#include <cstring>
#include <iterator>
#include <map>
#include <string_view>

#include "pack/pack.h"

namespace {

constexpr std::size_t kManifestLineBytes = 72;

bool equalsIgnoringCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

// The lines of a text, ending at CR LF, LF or a lone CR, as the JVM's
// readers end them.
std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  for (std::size_t at = 0; at < text.size();) {
    std::size_t end = std::min(text.find_first_of("\r\n", at), text.size());
    lines.push_back(text.substr(at, end - at));
    at = end + (text.compare(end, 2, "\r\n") == 0 ? 2 : 1);
  }
  return lines;
}

std::string trim(const std::string& text) {
  std::size_t first = text.find_first_not_of(" \t\f");
  return first == std::string::npos ? "" : text.substr(first, text.find_last_not_of(" \t\f") - first + 1);
}

// --- java.util.Properties text ------------------------------------------

using Properties = std::vector<std::pair<std::string, std::string>>;

bool isComment(const std::string& line) {
  std::string text = trim(line);
  return text.empty() || text[0] == '#' || text[0] == '!';
}

// The logical lines of a properties text: a line ending in an odd number of
// backslashes goes on with the next, whose leading white space is dropped.
std::vector<std::string> logicalLines(const std::string& text) {
  std::vector<std::string> logical;
  bool continues = false;
  for (const std::string& line : splitLines(text)) {
    std::string part = continues ? line.substr(std::min(line.find_first_not_of(" \t\f"), line.size())) : line;
    if (!continues && isComment(part)) continue;
    if (continues) {
      logical.back() += part;
    } else {
      logical.push_back(part);
    }
    std::size_t slashes = 0;
    while (slashes < logical.back().size() && logical.back()[logical.back().size() - 1 - slashes] == '\\') ++slashes;
    continues = slashes % 2 == 1;
    if (continues) logical.back().pop_back();
  }
  return logical;
}

// Keys and values as written (escapes kept), split where Properties.load
// splits them: at the first unescaped '=', ':' or white space. A logical
// line left blank (a lone backslash continued into nothing) holds no key,
// as Properties.load reads it.
Properties parseProperties(const std::string& text) {
  Properties properties;
  for (std::string line : logicalLines(text)) {
    std::size_t start = line.find_first_not_of(" \t\f");
    if (start == std::string::npos) continue;
    line.erase(0, start);
    std::size_t end = 0;
    while (end < line.size() && !std::strchr("=: \t\f", line[end])) end += line[end] == '\\' ? 2 : 1;
    end = std::min(end, line.size());
    std::size_t value = std::min(line.find_first_not_of(" \t\f", end), line.size());
    if (value < line.size() && (line[value] == '=' || line[value] == ':')) {
      value = std::min(line.find_first_not_of(" \t\f", value + 1), line.size());
    }
    properties.emplace_back(line.substr(0, end), line.substr(value));
  }
  return properties;
}

// A services file is a descriptor rather than a ServiceLoader list when a
// line holds what no class name can: a key's separator.
bool looksLikeProperties(const std::string& text) {
  for (const std::string& line : splitLines(text)) {
    if (!isComment(line) && line.find_first_of("=:") != std::string::npos) return true;
  }
  return false;
}

std::vector<std::string> listItems(const std::string& value) {
  std::vector<std::string> items;
  for (std::size_t at = 0; at <= value.size();) {
    std::size_t end = std::min(value.find(',', at), value.size());
    if (std::string item = trim(value.substr(at, end - at)); !item.empty()) items.push_back(item);
    at = end + 1;
  }
  return items;
}

// Keys known to hold class lists though a library may list a single class.
constexpr const char* kListKeys[] = {"extensionClasses", "staticExtensionClasses"};

// Merges key by key: a key new to the result is added, an equal value kept
// once, and the values of a list key (every key when allLists) joined
// without repeats; differing values of any other key conflict.
PackMergeResult mergeProperties(const std::vector<std::string>& copies, bool allLists, std::string* merged) {
  Properties result;
  for (const std::string& copy : copies) {
    for (const auto& [key, value] : parseProperties(copy)) {
      auto kept =
          std::find_if(result.begin(), result.end(), [&key = key](const auto& entry) { return entry.first == key; });
      if (kept == result.end()) {
        result.emplace_back(key, value);
        continue;
      }
      if (kept->second == value) continue;
      bool listKey = allLists || std::find(std::begin(kListKeys), std::end(kListKeys), key) != std::end(kListKeys) ||
                     kept->second.find(',') != std::string::npos || value.find(',') != std::string::npos;
      if (!listKey) return PackMergeResult::kConflict;
      std::vector<std::string> items = listItems(kept->second);
      for (const std::string& item : listItems(value)) {
        if (std::find(items.begin(), items.end(), item) == items.end()) items.push_back(item);
      }
      kept->second.clear();
      for (const std::string& item : items) kept->second += (kept->second.empty() ? "" : ",") + item;
    }
  }
  merged->clear();
  for (const auto& [key, value] : result) *merged += key + "=" + value + "\n";
  return PackMergeResult::kMerged;
}

// --- the formats ----------------------------------------------------------

// Each copy after the other, a line end between them: ServiceLoader lists
// and Spring's handler and schema maps (as Spring's shading guide appends
// them).
PackMergeResult appendTexts(const std::vector<std::string>& copies, std::string* merged) {
  merged->clear();
  for (const std::string& copy : copies) {
    if (!merged->empty() && !merged->ends_with("\n")) *merged += "\n";
    *merged += copy;
  }
  return PackMergeResult::kMerged;
}

PackMergeResult mergeServices(const std::vector<std::string>& copies, std::string* merged) {
  std::size_t descriptors = static_cast<std::size_t>(std::count_if(copies.begin(), copies.end(), looksLikeProperties));
  if (descriptors == 0) return appendTexts(copies, merged);
  // A list and a descriptor of one name: no reader takes both.
  if (descriptors < copies.size()) return PackMergeResult::kConflict;
  return mergeProperties(copies, false, merged);
}

PackMergeResult mergeDescriptor(const std::vector<std::string>& copies, std::string* merged) {
  return mergeProperties(copies, false, merged);
}

PackMergeResult mergeSpringFactories(const std::vector<std::string>& copies, std::string* merged) {
  return mergeProperties(copies, true, merged);
}

// Spring's .imports files: one class a line; a line already there is not
// repeated.
PackMergeResult mergeLineLists(const std::vector<std::string>& copies, std::string* merged) {
  std::vector<std::string> lines;
  for (const std::string& copy : copies) {
    for (const std::string& line : splitLines(copy)) {
      if (isComment(line) || std::find(lines.begin(), lines.end(), line) == lines.end()) lines.push_back(line);
    }
  }
  merged->clear();
  for (const std::string& line : lines) *merged += line + "\n";
  return PackMergeResult::kMerged;
}

// Licence and notice texts: each distinct text once, a blank line between.
PackMergeResult mergeNotices(const std::vector<std::string>& copies, std::string* merged) {
  merged->clear();
  for (const std::string& copy : copies) {
    if (!merged->empty()) *merged += merged->ends_with("\n") ? "\n" : "\n\n";
    *merged += copy;
  }
  return PackMergeResult::kMerged;
}

// A licence or notice file, in any case, with a suffix or none, in META-INF
// or at the top of the jar: the names Apache's and most other jars use.
bool isNotice(std::string_view path) {
  std::string upper(path.starts_with("META-INF/") ? path.substr(9) : path);
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return upper.find('/') == std::string::npos && (upper.starts_with("LICENSE") || upper.starts_with("NOTICE"));
}

/// One known file: which paths it covers and how their copies merge.
struct KnownFile {
  bool (*matches)(const std::string& path);
  PackMergeResult (*merge)(const std::vector<std::string>& copies, std::string* merged);
};

constexpr KnownFile kKnownFiles[] = {
    {.matches = [](const std::string& p) {
       return p.starts_with("META-INF/services/") && p.size() > 18 && p.find('/', 18) == std::string::npos;
     },
     .merge = mergeServices},
    {.matches = [](const std::string& p) { return p == "META-INF/groovy/org.codehaus.groovy.runtime.ExtensionModule"; },
     .merge = mergeDescriptor},
    {.matches = [](const std::string& p) { return p == "META-INF/spring.handlers" || p == "META-INF/spring.schemas"; },
     .merge = appendTexts},
    {.matches = [](const std::string& p) { return p == "META-INF/spring.factories"; },
     .merge = mergeSpringFactories},
    {.matches = [](const std::string& p) {
       return p.starts_with("META-INF/spring/") && p.ends_with(".imports") && p.find('/', 16) == std::string::npos;
     },
     .merge = mergeLineLists},
    {.matches = [](const std::string& p) { return isNotice(p); }, .merge = mergeNotices},
};

const KnownFile* knownFile(const std::string& path) {
  for (const KnownFile& row : kKnownFiles) {
    if (row.matches(path)) return &row;
  }
  return nullptr;
}

}  // namespace

bool packIsMergedFile(const std::string& path) { return knownFile(path) != nullptr; }

PackMergeResult packMergeFile(const std::string& path, const std::vector<std::string>& copies, std::string* merged) {
  const KnownFile* row = knownFile(path);
  if (row == nullptr) return PackMergeResult::kUnknown;
  // A copy equal to one before it adds nothing, whatever the format.
  std::vector<std::string> distinct;
  for (const std::string& copy : copies) {
    if (std::find(distinct.begin(), distinct.end(), copy) == distinct.end()) distinct.push_back(copy);
  }
  if (distinct.size() == 1) {
    *merged = distinct.front();
    return PackMergeResult::kMerged;
  }
  return row->merge(distinct, merged);
}

PackManifest packParseManifest(const std::string& text) {
  PackManifest manifest;
  PackManifest::Attributes* section = &manifest.main;
  std::string* continued = nullptr;  // the value a line starting with a space goes on
  bool between = false;              // after a blank line, before the next section's first line
  for (const std::string& line : splitLines(text)) {
    if (line.empty()) {
      between = true;
      continued = nullptr;
      continue;
    }
    if (line.starts_with(" ")) {
      if (continued != nullptr) *continued += line.substr(1);
      continue;
    }
    std::size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string name = line.substr(0, colon);
    std::string value = line.substr(colon + 1);
    if (value.starts_with(" ")) value.erase(0, 1);
    if (between) {
      between = false;
      manifest.sections.emplace_back(value, PackManifest::Attributes{});
      section = &manifest.sections.back().second;
      // The Name line names the section; it is written again from it.
      if (equalsIgnoringCase(name, "Name")) {
        continued = &manifest.sections.back().first;
        continue;
      }
    }
    section->emplace_back(name, value);
    continued = &section->back().second;
  }
  return manifest;
}

std::optional<std::string> packAttribute(const PackManifest::Attributes& attributes, const std::string& name) {
  for (const auto& [key, value] : attributes) {
    if (equalsIgnoringCase(key, name)) return value;
  }
  return std::nullopt;
}

namespace {

// "Name: value" in lines of at most 72 bytes, each continuation starting
// with a space; a UTF-8 character is not cut, though the JVM would join it.
void writeAttribute(const std::string& name, const std::string& value, std::string* out) {
  std::string line = name + ": " + value;
  std::size_t limit = kManifestLineBytes;
  for (std::size_t at = 0; at < line.size();) {
    std::size_t end = std::min(at + limit, line.size());
    while (end < line.size() && end > at + 1 && (static_cast<unsigned char>(line[end]) & 0xC0) == 0x80) --end;
    *out += (at == 0 ? "" : " ") + line.substr(at, end - at) + "\r\n";
    at = end;
    limit = kManifestLineBytes - 1;
  }
}

}  // namespace

std::string packWriteManifest(const PackManifest& manifest) {
  std::string text;
  for (const auto& [name, value] : manifest.main) writeAttribute(name, value, &text);
  text += "\r\n";
  for (const auto& [name, attributes] : manifest.sections) {
    writeAttribute("Name", name, &text);
    for (const auto& [key, value] : attributes) writeAttribute(key, value, &text);
    text += "\r\n";
  }
  return text;
}
