// The jvm.cfg reader that chooses the JVM flavour, on any jvm.cfg of three
// fake Java homes made once: a modular runtime (lib/server only), an old JRE
// 1.3 layout (client and classic) and an old JDK 1.4 layout (client and
// server). The first byte chooses the home, the rest is its jvm.cfg.
#include <optional>
#include <string>

#include "fuzz_support.h"
#include "util/platform.h"
#include "jvm/jev.h"
#include "jvmoptions/jop.h"
#include "util/utl.h"

namespace {

struct Home {
  std::string dir;
  std::string jvmCfg;  ///< where this layout keeps its jvm.cfg
};

Home makeHome(const std::string& name, const std::string& jvmCfg, std::initializer_list<std::string> files) {
  Home home{fuzzTempDir() + "/homes/" + name, ""};
  home.jvmCfg = home.dir + "/" + jvmCfg;
  for (const std::string& file : files) fuzzWriteFile(home.dir + "/" + file, "");
  fuzzWriteFile(home.jvmCfg, "");
  return home;
}

const Home* homes() {
  static const std::string arch = kArchDir;
  static const Home made[] = {
      makeHome("modular", "lib/jvm.cfg", {"bin/java", "bin/javac", "lib/modules", "lib/server/libjvm.so"}),
      makeHome("jre13", "lib/jvm.cfg",
               {"bin/java", "bin/tnameserv", "lib/" + arch + "/client/libjvm.so",
                "lib/" + arch + "/classic/libjvm.so"}),
      makeHome("jdk14", "jre/lib/" + arch + "/jvm.cfg",
               {"bin/javac", "bin/tnameserv", "jre/lib/" + arch + "/client/libjvm.so",
                "jre/lib/" + arch + "/server/libjvm.so"}),
  };
  static const bool released = (fuzzWriteFile(made[0].dir + "/release", "JAVA_VERSION=\"17.0.2\"\n"), true);
  (void)released;
  return made;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const Home& home = homes()[data[0] % 3];
  FuzzRun run;
  fuzzWriteFile(home.jvmCfg, fuzzText(data + 1, size - 1));
  jopSetJavaHome(home.dir);

  std::optional<JavaChoice> java = jevChooseJava(kSubTypeDefault);
  // A directory is only ever that of an existing library of this home.
  if (java) {
    FUZZ_CHECK(java->libraryDir.starts_with(home.dir + "/"));
    FUZZ_CHECK(utlFileExists(java->libraryDir + "/libjvm.so"));
  }
  return 0;
}
