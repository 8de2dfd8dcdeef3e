#include "host/dsk.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>

#include "host/hmd.h"

namespace {

bool isCategoryChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '_';
}

// Characters of a MIME type's parts (RFC 6838's restricted names).
bool isTypeChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || std::strchr("!#$&^_.+-", c) != nullptr;
}

bool hasControl(std::string_view text) {
  return std::any_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

// Desktop entries and MIME packages are UTF-8; desktops drop a file that is
// not, or the value in it.
bool isUtf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    auto byte = static_cast<unsigned char>(text[i]);
    std::size_t length = byte < 0x80 ? 1 : (byte >> 5) == 0x6 ? 2 : (byte >> 4) == 0xe ? 3 : (byte >> 3) == 0x1e ? 4 : 0;
    if (length == 0 || (length == 2 && byte < 0xc2) || i + length > text.size()) return false;
    for (std::size_t k = 1; k < length; ++k) {
      if ((static_cast<unsigned char>(text[i + k]) & 0xc0) != 0x80) return false;
    }
    i += length;
  }
  return true;
}

// A value written as it stands: UTF-8 without control characters.
bool isPlainText(std::string_view text) { return isUtf8(text) && !hasControl(text); }

// Icons are small; anything larger is no icon, and is not read whole.
constexpr std::size_t kMaxIconSize = 4 << 20;

// A string value of a desktop entry: its escapes, and a leading blank kept.
std::string escapeValue(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == ' ' && i == 0) {
      out += "\\s";
    } else {
      out += c;
    }
  }
  return out;
}

std::string escapeXml(std::string_view text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

// Where an icon goes in the hicolor theme ("48x48", "scalable") and its
// file suffix, by what the file holds.
std::optional<std::pair<std::string, std::string>> iconPlace(const std::string& path, const std::string& head,
                                                              std::string& error) {
  static constexpr std::string_view kPng = "\x89PNG\r\n\x1a\n";
  if (head.starts_with(kPng) && head.size() >= 24 && head.compare(12, 4, "IHDR") == 0) {
    auto number = [&head](std::size_t at) {
      unsigned value = 0;
      for (std::size_t i = at; i < at + 4; ++i) value = value << 8 | static_cast<unsigned char>(head[i]);
      return value;
    };
    unsigned width = number(16);
    unsigned height = number(20);
    bool listed = std::find(kDskIconSizes.begin(), kDskIconSizes.end(), static_cast<int>(width)) != kDskIconSizes.end();
    if (width != height || !listed) {
      error = "the icon '" + path + "' is " + std::to_string(width) + "x" + std::to_string(height) +
              "; a PNG icon must be square, of 16, 22, 24, 32, 36, 48, 64, 72, 96, 128, 192, 256 or 512 pixels";
      return std::nullopt;
    }
    std::string size = std::to_string(width);
    return std::make_pair(size + "x" + size, std::string(".png"));
  }
  if (head.find("<svg") != std::string::npos && isUtf8(head)) return std::make_pair(std::string("scalable"), std::string(".svg"));
  error = "the icon '" + path + "' is neither a PNG nor an SVG image";
  return std::nullopt;
}

std::string mimePackage(const DskApplication& app) {
  // One element per type, with every glob given for it.
  std::vector<std::string> order;
  std::map<std::string, std::pair<std::string, std::vector<std::string>>> types;
  for (const DskMimeType& mime : app.mimeTypes) {
    if (!types.contains(mime.type)) order.push_back(mime.type);
    auto& entry = types[mime.type];
    if (entry.first.empty()) entry.first = mime.description;
    entry.second.push_back(mime.glob);
  }
  std::string xml =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<mime-info xmlns=\"http://www.freedesktop.org/standards/shared-mime-info\">\n";
  for (const std::string& type : order) {
    xml += "  <mime-type type=\"" + escapeXml(type) + "\">\n";
    xml += "    <comment>" + escapeXml(types[type].first) + "</comment>\n";
    for (const std::string& glob : types[type].second) xml += "    <glob pattern=\"" + escapeXml(glob) + "\"/>\n";
    xml += "  </mime-type>\n";
  }
  return xml + "</mime-info>\n";
}

std::string desktopEntry(const DskApplication& app, bool hasIcon, const std::vector<DskFile>& recorded) {
  std::string text = "[Desktop Entry]\nType=Application\n";
  // First, so that a long name cannot push it past what is read back.
  if (!recorded.empty()) {
    text += kDskRecordKey;
    for (const DskFile& file : recorded) text += file.path + ";";
    text += "\n";
  }
  text += "Name=" + escapeValue(app.name.empty() ? app.id : app.name) + "\n";
  text += "Exec=" + dskExecValue(app.exec) + "\n";
  if (hasIcon) text += "Icon=" + app.id + "\n";
  text += "Terminal=false\n";
  if (!app.categories.empty()) {
    text += "Categories=";
    for (const std::string& category : app.categories) text += category + ";";
    text += "\n";
  }
  if (!app.mimeTypes.empty()) {
    std::vector<std::string> seen;
    text += "MimeType=";
    for (const DskMimeType& mime : app.mimeTypes) {
      if (std::find(seen.begin(), seen.end(), mime.type) != seen.end()) continue;
      seen.push_back(mime.type);
      text += mime.type + ";";
    }
    text += "\n";
  }
  if (!app.windowClass.empty()) text += "StartupWMClass=" + app.windowClass + "\n";
  return text;
}

}  // namespace

bool dskIsValidId(std::string_view id) {
  if (id.empty() || id.size() > 200 || std::isdigit(static_cast<unsigned char>(id[0])) != 0 || id[0] == '.' ||
      id[0] == '-') {
    return false;
  }
  // A name ending like a file (".png") would be taken for one where it
  // names the icon.
  for (std::string_view suffix : {".", ".desktop", ".png", ".svg", ".xpm", ".xml"}) {
    if (id.ends_with(suffix)) return false;
  }
  return id.find("..") == std::string_view::npos && std::all_of(id.begin(), id.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '.' || c == '_' || c == '-';
  });
}

bool dskConfigured(const DskApplication& app) {
  return !app.name.empty() || !app.icons.empty() || !app.mimeTypes.empty() || !app.categories.empty();
}

std::optional<std::vector<std::string>> dskParseCategories(const std::string& text) {
  std::vector<std::string> categories;
  std::string word;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    char c = i < text.size() ? text[i] : ';';
    if (c == ';' || c == ' ' || c == '\t') {
      if (!word.empty()) categories.push_back(std::move(word));
      word.clear();
    } else if (isCategoryChar(c)) {
      word += c;
    } else {
      return std::nullopt;
    }
  }
  if (categories.empty()) return std::nullopt;
  return categories;
}

std::optional<DskMimeType> dskParseMimeType(const std::string& text, std::string& why) {
  std::size_t typeEnd = text.find_first_of(" \t");
  std::size_t globStart = text.find_first_not_of(" \t", typeEnd);
  std::size_t globEnd = text.find_first_of(" \t", globStart);
  std::size_t descriptionStart = text.find_first_not_of(" \t", globEnd);
  if (descriptionStart == std::string::npos) {
    why = "give a type, a file name pattern and a description";
    return std::nullopt;
  }
  DskMimeType mime{text.substr(0, typeEnd), text.substr(globStart, globEnd - globStart), text.substr(descriptionStart)};
  std::size_t slash = mime.type.find('/');
  auto part = [](std::string_view p) {
    return !p.empty() && std::isalnum(static_cast<unsigned char>(p[0])) != 0 &&
           std::all_of(p.begin(), p.end(), isTypeChar);
  };
  if (slash == std::string::npos || !part(std::string_view(mime.type).substr(0, slash)) ||
      !part(std::string_view(mime.type).substr(slash + 1))) {
    why = "'" + mime.type + "' is no media type (such as application/x-demo)";
    return std::nullopt;
  }
  if (mime.glob.find('/') != std::string::npos || !isPlainText(mime.glob)) {
    why = "'" + mime.glob + "' is no file name pattern (such as *.demo)";
    return std::nullopt;
  }
  if (!isPlainText(mime.description)) {
    why = "the description is not UTF-8 text";
    return std::nullopt;
  }
  return mime;
}

std::string dskExecValue(const std::string& path) {
  // A word with any of these must be quoted, and inside the quotes four
  // characters are escaped; then the whole value is escaped as strings are.
  bool quote = path.find_first_of(" \t\n\"'\\><~|&;$*?#()`") != std::string::npos;
  std::string word;
  for (char c : path) {
    if (quote && std::strchr("\"`$\\", c) != nullptr) word += '\\';
    word += c;
    if (c == '%') word += '%';
  }
  if (quote) word = "\"" + word + "\"";
  std::string value;
  for (char c : word) value += c == '\\' ? std::string("\\\\") : std::string(1, c);
  return value + " %F";
}

std::optional<std::vector<DskFile>> dskPlan(const DskApplication& app, bool record, std::string& error) {
  if (!dskIsValidId(app.id)) {
    error = "'" + app.id + "' cannot name a desktop entry: use letters, digits, '.', '_' and '-', not first a digit";
    return std::nullopt;
  }
  if (app.exec.empty() || app.exec[0] != '/' || !isPlainText(app.exec)) {
    error = "the path '" + app.exec + "' cannot be written in a desktop entry";
    return std::nullopt;
  }
  if (!isPlainText(app.name)) {
    error = "the name '" + app.name + "' is not UTF-8 text on one line";
    return std::nullopt;
  }
  std::vector<DskFile> files;
  for (const std::string& icon : app.icons) {
    std::string why;
    std::optional<std::string> bytes = hmdReadRegularFile(icon, kMaxIconSize, why);
    if (!bytes) {
      error = "cannot read the icon '" + icon + "': " + why;
      return std::nullopt;
    }
    std::optional<std::pair<std::string, std::string>> place = iconPlace(icon, bytes->substr(0, 4096), error);
    if (!place) return std::nullopt;
    std::string path = "icons/hicolor/" + place->first + "/apps/" + app.id + place->second;
    if (std::any_of(files.begin(), files.end(), [&path](const DskFile& f) { return f.path == path; })) {
      error = "two icons are " + place->first + "; give one icon per size";
      return std::nullopt;
    }
    files.push_back({.path = path, .text = std::move(*bytes), .source = icon});
  }
  if (!app.mimeTypes.empty()) files.push_back({.path = "mime/packages/" + app.id + ".xml", .text = mimePackage(app), .source = {}});
  std::vector<DskFile> recorded = record ? files : std::vector<DskFile>{};
  files.push_back({.path = "applications/" + app.id + ".desktop", .text = desktopEntry(app, !app.icons.empty(), recorded), .source = {}});
  return files;
}

