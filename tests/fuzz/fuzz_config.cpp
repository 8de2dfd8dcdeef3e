// A whole configuration file, processed as the launcher processes its own:
// every directive, the macros, nested files and directories, variables and
// exported environment variables; then what the launch does next with the
// result, the conversion of disabled options and the JVM option list.
#include <string>

#include "cmdline/opt.h"
#include "config/cfg.h"
#include "config/fil.h"
#include "fuzz_support.h"
#include "jvmoptions/jop.h"
#include "launcher/jap.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzRun run;
  // What a command line leaves the application, for $var(n) and setfromoption.
  for (const char* arg : {"-name", "Duke", "second"}) optAddApplicationArgument(arg);
  // Named *.config so that "includedir" of its directory finds it too.
  std::string path = run.workDir() + "/conf/app.config";
  fuzzWriteFile(path, fuzzText(data, size));

  cfgSetCurrentConfigFile(path.c_str());
  cfgProcessConfigFile(path);
  // Nested files restore the current file and close what they opened.
  FUZZ_CHECK(cfgGetCurrentConfigFile() != nullptr && cfgGetCurrentConfigFile() == path);
  FUZZ_CHECK(filGetCurrentLineNumber() == 0);

  optConvertDisabledArguments();
  jopFinalizeJVMOptions(japFinalInputs(JavaChoice{}, ""));
  return 0;
}
