// The macro expansion of one configuration line, against a state with
// application arguments, configuration variables and a Java home.
#include <string>

#include "cmdline/opt.h"
#include "config/cfg.h"
#include "fuzz_support.h"
#include "jvmoptions/jop.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzRun run;
  for (const char* arg : {"one", "two words", "-flag"}) optAddApplicationArgument(arg);
  cfgAddVar("APP=demo");
  cfgAddVar("EMPTY=");
  jopSetJavaHome("/opt/jdk");

  std::string_view line = fuzzText(data, size);
  std::optional<std::string> expansion = cfgExpandMacros(line);
  if (!expansion) return 0;  // past the line limit: nothing is expanded
  const std::string& expanded = *expansion;
  // Everything before the first '$' is plain text and stays as written.
  std::size_t dollar = line.find('$');
  if (dollar == std::string_view::npos) {
    FUZZ_CHECK(expanded == line);
  } else {
    FUZZ_CHECK(expanded.starts_with(line.substr(0, dollar)));
  }
  return 0;
}
