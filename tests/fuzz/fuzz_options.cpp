// The launcher's command line: the input split at NUL bytes into arguments,
// parsed as the launcher parses its own, then the conversion of the options
// the configuration does not enable and the JVM options built from them;
// then the same text as an argument file and as JDK_JAVA_OPTIONS.
// The configuration enables +usage and +jpda and leaves +version disabled.
#include <string>
#include <vector>

#include "jvmoptions/jop_javacmd.h"
#include "cmdline/opt.h"
#include "config/cfg.h"
#include "fuzz_support.h"
#include "jvmoptions/jop.h"
#include "launcher/jap.h"
#include "util/utrace.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // +debug turns tracing on; no argument makes a line longer than the
  // trace's limit, which the launcher ends at (utrace.h).
  if (size == 0 || size > kTraceLineMax / 4) return 0;
  std::vector<std::string> args;
  std::string_view text = fuzzText(data, size);
  for (std::size_t start = 0;;) {
    std::size_t end = text.find('\0', start);
    args.emplace_back(text.substr(start, end - start));
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  // The option module keeps pointers to the arguments, as to the process's.
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);

  FuzzRun run;
  std::string usage = "app.Usage";
  std::string jpda = "running,address=8000";
  cfgSetUsageClass(usage);
  cfgEnableJPDA(jpda);

  int argc = static_cast<int>(args.size());
  char** rest = argv.data();
  bool parsed = optParseArgument(&argc, &rest);
  // What is handed back is the tail of the arguments from an option that
  // stops parsing, or nothing; the words of an argument file (+@) stand in
  // its place.
  bool argumentFile = false;
  for (const std::string& arg : args) argumentFile = argumentFile || arg.starts_with("+@");
  FUZZ_CHECK(argumentFile || (argc >= 0 && argc <= static_cast<int>(args.size())));
  if (argc == 0) {
    FUZZ_CHECK(rest == nullptr);
  } else if (!argumentFile) {
    for (int i = 0; i <= argc; ++i) FUZZ_CHECK(rest[i] == argv[args.size() - argc + i]);
  }
  if (parsed) {
    optConvertDisabledArguments();
    jopFinalizeJVMOptions(japFinalInputs(JavaChoice{}, ""));
  }
  // The same text as an argument file and as JDK_JAVA_OPTIONS: java's
  // splitting rules, and a refusal or options, never both.
  for (const std::string& word : jopSplitArgumentFile(text)) FUZZ_CHECK(word.size() <= text.size());
  JavaCommandOptions fromVariable = jopReadJavaCommandOptions(text);
  FUZZ_CHECK(fromVariable.error.empty() || fromVariable.error.starts_with("Error: "));
  return 0;
}
