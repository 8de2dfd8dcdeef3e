#include "jvmoptions/jop_javacmd.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "util/utl.h"

namespace {

constexpr const char* kVariable = "JDK_JAVA_OPTIONS";
constexpr const char* kUnmatchedQuoteMsg = "Error: Unmatched quote in environment variable %s";
constexpr const char* kMainClassMsg = "Error: Cannot specify main class in environment variable %s";
constexpr const char* kNotAllowedMsg = "Error: Option %s is not allowed in environment variable %s";
constexpr const char* kNotAllowedInFileMsg = "Error: Option %s in %s is not allowed in environment variable %s";
constexpr const char* kRequiresMsg = "Error: %s requires %s";
constexpr const char* kJavaActionMsg =
    "Error: Option %s in environment variable %s is an action of the java command, which this launcher does not take";
constexpr const char* kCouldNotOpenMsg = "Error: could not open `%s'";

// What the java command does with an option of its own, one that the JVM
// would not take as it stands.
enum class JavaUse {
  kNameValue,  ///< takes the next word; the JVM takes both as text=value
  kClassPath,  ///< takes the next word (or what follows text's '='): the class path
  kProperty,   ///< the JVM option text instead
  kBanner,     ///< prints the version before the application starts
  kSplash,     ///< what follows the name is the image shown while the JVM starts
  kIgnored,    ///< without effect on a runtime that has one JVM
  kFinal,      ///< names what to run or ends the launch: refused in the variable
  kAction,     ///< an action of the java command this launcher does not take
};

struct JavaCommandOption {
  const char* name;
  JavaUse use;
  bool prefixMatch = false;
  const char* text = nullptr;   ///< kNameValue: the JVM's option name; kProperty: the option
  const char* lacks = nullptr;  ///< what a missing value lacks, in java's words
  VersionBanner banner = VersionBanner::kNone;
};

// What a missing value lacks, word for word as java prints it, since users
// compare the two launchers' messages.
constexpr const char* kModules = "modules to be specified";
constexpr const char* kModulePath = "module path specification";
constexpr const char* kClassPathLacks = "class path specification";

constexpr JavaCommandOption kJavaCommandOptions[] = {
    {.name = "--module-path", .use = JavaUse::kNameValue, .text = "--module-path", .lacks = kModulePath},
    {.name = "-p", .use = JavaUse::kNameValue, .text = "--module-path", .lacks = kModulePath},
    {.name = "--upgrade-module-path", .use = JavaUse::kNameValue, .text = "--upgrade-module-path", .lacks = kModulePath},
    {.name = "--add-modules", .use = JavaUse::kNameValue, .text = "--add-modules", .lacks = kModules},
    {.name = "--enable-native-access", .use = JavaUse::kNameValue, .text = "--enable-native-access", .lacks = kModules},
    {.name = "--limit-modules", .use = JavaUse::kNameValue, .text = "--limit-modules", .lacks = kModules},
    {.name = "--add-exports", .use = JavaUse::kNameValue, .text = "--add-exports", .lacks = kModules},
    {.name = "--add-opens", .use = JavaUse::kNameValue, .text = "--add-opens", .lacks = kModules},
    {.name = "--add-reads", .use = JavaUse::kNameValue, .text = "--add-reads", .lacks = kModules},
    {.name = "--patch-module", .use = JavaUse::kNameValue, .text = "--patch-module", .lacks = kModules},
    {.name = "-cp", .use = JavaUse::kClassPath, .lacks = kClassPathLacks},
    {.name = "-classpath", .use = JavaUse::kClassPath, .lacks = kClassPathLacks},
    {.name = "--class-path", .use = JavaUse::kClassPath, .lacks = kClassPathLacks},
    {.name = "--class-path=", .use = JavaUse::kClassPath, .prefixMatch = true},
    {.name = "--show-module-resolution", .use = JavaUse::kProperty, .text = "-Djdk.module.showModuleResolution=true"},
    {.name = "-splash:", .use = JavaUse::kSplash, .prefixMatch = true},
    {.name = "-showversion", .use = JavaUse::kBanner, .banner = VersionBanner::kStandardError},
    {.name = "--show-version", .use = JavaUse::kBanner, .banner = VersionBanner::kStandardOutput},
    {.name = "-client", .use = JavaUse::kIgnored},
    {.name = "-server", .use = JavaUse::kIgnored},
    {.name = "-Xdiag", .use = JavaUse::kIgnored},
    {.name = "-jar", .use = JavaUse::kFinal},
    {.name = "-m", .use = JavaUse::kFinal},
    {.name = "--module", .use = JavaUse::kFinal},
    {.name = "--module=", .use = JavaUse::kFinal, .prefixMatch = true},
    {.name = "--dry-run", .use = JavaUse::kFinal},
    {.name = "-h", .use = JavaUse::kFinal},
    {.name = "-?", .use = JavaUse::kFinal},
    {.name = "-help", .use = JavaUse::kFinal},
    {.name = "--help", .use = JavaUse::kFinal},
    {.name = "-X", .use = JavaUse::kFinal},
    {.name = "--help-extra", .use = JavaUse::kFinal},
    {.name = "-version", .use = JavaUse::kFinal},
    {.name = "--version", .use = JavaUse::kFinal},
    {.name = "-fullversion", .use = JavaUse::kFinal},
    {.name = "--full-version", .use = JavaUse::kFinal},
    {.name = "--list-modules", .use = JavaUse::kAction},
    {.name = "--validate-modules", .use = JavaUse::kAction},
    {.name = "-d", .use = JavaUse::kAction},
    {.name = "--describe-module", .use = JavaUse::kAction},
    {.name = "--source", .use = JavaUse::kAction},
    {.name = "-XshowSettings", .use = JavaUse::kAction, .prefixMatch = true},
};

const JavaCommandOption* findJavaCommandOption(std::string_view word) {
  for (const JavaCommandOption& row : kJavaCommandOptions) {
    if (row.prefixMatch ? word.starts_with(row.name) : word == row.name) return &row;
  }
  return nullptr;
}

// The words of the variable itself: quotes keep white space and nothing
// else is special. Nullopt for an unmatched quote.
std::optional<std::vector<std::string>> splitVariable(std::string_view text) {
  std::vector<std::string> words;
  auto blank = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
  for (std::size_t i = 0; i < text.size();) {
    if (blank(text[i])) {
      ++i;
      continue;
    }
    std::string word;
    while (i < text.size() && !blank(text[i])) {
      char c = text[i++];
      if (c != '"' && c != '\'') {
        word += c;
        continue;
      }
      std::size_t close = text.find(c, i);
      if (close == std::string_view::npos) return std::nullopt;
      word.append(text.substr(i, close - i));
      i = close + 1;
    }
    words.push_back(std::move(word));
  }
  return words;
}

// Each option (with the argument file it came from, if any) as java takes
// it. JDK_JAVA_OPTIONS, unlike a command line, may neither name what to run
// nor end the launch.
void takeOptions(const std::vector<std::pair<std::string, std::string>>& options, bool fromVariable,
                 JavaCommandOptions& result) {
  for (std::size_t i = 0; i < options.size(); ++i) {
    const auto& [option, file] = options[i];
    const JavaCommandOption* row = findJavaCommandOption(option);
    bool endsLaunch = row != nullptr && (row->use == JavaUse::kFinal || row->use == JavaUse::kAction);
    if (fromVariable && !option.starts_with("-")) {
      result.error = utlFormat(kMainClassMsg, kVariable);
    } else if (fromVariable && option == "--disable-@files") {
      continue;
    } else if (fromVariable && endsLaunch && row->use == JavaUse::kAction) {
      result.error = utlFormat(kJavaActionMsg, option.c_str(), kVariable);
    } else if (fromVariable && endsLaunch) {
      result.error = file.empty() ? utlFormat(kNotAllowedMsg, option.c_str(), kVariable)
                                  : utlFormat(kNotAllowedInFileMsg, option.c_str(), file.c_str(), kVariable);
    } else if (row == nullptr || endsLaunch) {
      result.jvmOptions.push_back(option);
    } else if (row->use == JavaUse::kProperty) {
      result.jvmOptions.push_back(row->text);
    } else if (row->use == JavaUse::kBanner) {
      result.banner = row->banner;
    } else if (row->use == JavaUse::kSplash) {
      result.splash = option.substr(std::string_view(row->name).size());
    } else if (row->use == JavaUse::kClassPath && row->prefixMatch) {
      result.jvmOptions.push_back("-Djava.class.path=" + jopExpandClassPathWildcards(option.substr(option.find('=') + 1)));
    } else if (row->use == JavaUse::kNameValue || row->use == JavaUse::kClassPath) {
      if (++i == options.size()) {
        result.error = utlFormat(kRequiresMsg, option.c_str(), row->lacks);
      } else if (row->use == JavaUse::kClassPath) {
        result.jvmOptions.push_back("-Djava.class.path=" + jopExpandClassPathWildcards(options[i].first));
      } else {
        result.jvmOptions.push_back(std::string(row->text) + "=" + options[i].first);
      }
    }
    if (!result.error.empty()) return;
  }
}

}  // namespace

std::vector<std::string> jopSplitArgumentFile(std::string_view text) {
  std::vector<std::string> words;
  std::string word;
  bool inWord = false;  // quotes alone make a word, an empty one
  char quote = 0;
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\f'; };
  auto lineEnd = [](char c) { return c == '\n' || c == '\r'; };
  auto endWord = [&] {
    if (inWord) words.push_back(std::move(word));
    word.clear();
    inWord = false;
    quote = 0;
  };
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (quote != 0) {
      if (c == quote) {
        quote = 0;
      } else if (lineEnd(c)) {
        endWord();
      } else if (c != '\\') {
        word += c;
      } else if (++i < text.size()) {
        char escaped = text[i];
        if (lineEnd(escaped)) {
          while (i + 1 < text.size() && (blank(text[i + 1]) || lineEnd(text[i + 1]))) ++i;
          continue;
        }
        constexpr std::string_view kFrom = "nrtf", kTo = "\n\r\t\f";
        std::size_t at = kFrom.find(escaped);
        word += at == std::string_view::npos ? escaped : kTo[at];
      }
    } else if (blank(c) || lineEnd(c)) {
      endWord();
    } else if (c == '#') {
      // The comment takes the word it began in along with it.
      while (i + 1 < text.size() && !lineEnd(text[i + 1])) ++i;
      word.clear();
      inWord = false;
    } else {
      inWord = true;
      if (c == '"' || c == '\'') {
        quote = c;
      } else {
        word += c;
      }
    }
  }
  endWord();
  return words;
}

std::optional<std::vector<std::string>> jopReadArgumentFile(const std::string& path) {
  // Not a directory, which opens but has no text; a device such as
  // /dev/null is read like a file.
  std::error_code error;
  if (std::filesystem::is_directory(path, error)) return std::nullopt;
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) return std::nullopt;
  return jopSplitArgumentFile(text.str());
}

std::string jopArgumentFileOpenMessage(const std::string& path) { return utlFormat(kCouldNotOpenMsg, path.c_str()); }

std::string jopExpandClassPathWildcards(std::string_view classPath) {
  std::string expanded;
  for (const std::string& element : utlSplitList(classPath, ":")) {
    std::vector<std::string> jars;
    if (element == "*" || element.ends_with("/*")) {
      std::string directory = element.size() == 1 ? "." : element.substr(0, element.size() - 2);
      std::error_code error;
      for (const auto& entry : std::filesystem::directory_iterator(directory, error)) {
        std::string name = entry.path().filename();
        if (name.ends_with(".jar") || name.ends_with(".JAR")) jars.push_back(element.substr(0, element.size() - 1) + name);
      }
      std::sort(jars.begin(), jars.end());
    } else {
      jars.push_back(element);
    }
    for (const std::string& jar : jars) expanded += (expanded.empty() ? "" : ":") + jar;
  }
  return expanded;
}

JavaCommandOptions jopReadJavaCommandOptions(std::string_view value) {
  JavaCommandOptions result;
  std::optional<std::vector<std::string>> words = splitVariable(value);
  if (!words) {
    result.error = utlFormat(kUnmatchedQuoteMsg, kVariable);
    return result;
  }
  // Each word with the argument file it came from, if any.
  std::vector<std::pair<std::string, std::string>> options;
  bool expandFiles = true;
  for (const std::string& word : *words) {
    if (!expandFiles || word.size() < 2 || word[0] != '@') {
      expandFiles = expandFiles && word != "--disable-@files";
      options.emplace_back(word, "");
    } else if (word[1] == '@') {
      options.emplace_back(word.substr(1), "");
    } else if (std::optional<std::vector<std::string>> read = jopReadArgumentFile(word.substr(1))) {
      for (std::string& option : *read) options.emplace_back(std::move(option), word);
    } else {
      result.error = jopArgumentFileOpenMessage(word.substr(1));
      return result;
    }
  }
  takeOptions(options, true, result);
  return result;
}

JavaCommandOptions jopTakeJavaCommandOptions(const std::vector<std::string>& words) {
  std::vector<std::pair<std::string, std::string>> options;
  for (const std::string& word : words) options.emplace_back(word, "");
  JavaCommandOptions result;
  takeOptions(options, false, result);
  return result;
}
