// Macro expansion growing across a configuration: `set` lines that double a
// variable, and lines that copy it into variables, JVM options and
// application arguments. Every line is bounded once expanded, and so is the
// configuration in all, so whatever the input, processing ends (within
// libFuzzer's -timeout and -rss_limit_mb) and nothing it keeps is longer
// than a line.
#include <algorithm>
#include <optional>
#include <string>
#include <string_view>

#include "cmdline/opt.h"
#include "config/cfg.h"
#include "config/fil.h"
#include "fuzz_support.h"

namespace {

// The variables the input sets under a plain name ("set NAME=..."); a name
// made by a macro is not followed.
void checkVariables(std::string_view text) {
  while (!text.empty()) {
    std::string_view line = text.substr(0, text.find('\n'));
    text.remove_prefix(std::min(text.size(), line.size() + 1));
    line.remove_prefix(std::min(line.size(), line.find_first_not_of(" \t")));
    if (!line.starts_with("set ")) continue;
    line.remove_prefix(4);
    line.remove_prefix(std::min(line.size(), line.find_first_not_of(' ')));
    std::string_view name = line.substr(0, line.find('='));
    if (name.empty() || name.size() == line.size() || name.find_first_of("$-") != std::string_view::npos) continue;
    std::optional<std::string> value = cfgGetVar(name, "");
    FUZZ_CHECK(!value || value->size() <= kMaxLineLength);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzRun run;
  std::string path = run.workDir() + "/app.config";
  fuzzWriteFile(path, fuzzText(data, size));

  cfgSetCurrentConfigFile(path.c_str());
  cfgProcessConfigFile(path);

  for (const std::string& argument : optGetApplicationArgList()) FUZZ_CHECK(argument.size() <= kMaxLineLength);
  cfgFinalizeJVMOptions();
  const JavaVMOption* options = cfgGetJavaVMOptions();
  for (int i = 0; i < cfgGetJavaVMOptionsCount(); ++i) {
    FUZZ_CHECK(std::string_view(options[i].optionString).size() <= kMaxLineLength);
  }
  checkVariables(fuzzText(data, size));
  return 0;
}
