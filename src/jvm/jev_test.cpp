#include "jvm/jev.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "config/cfg_fixture.h"
#include "launcher.h"

namespace {

class JvmDiscoveryTest : public ConfigTest {
 protected:
  void SetUp() override {
    ConfigTest::SetUp();
    for (const char* name : kSaved) {
      const char* value = getenv(name);
      saved.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
      unsetenv(name);
    }
  }
  void TearDown() override {
    for (const auto& [name, value] : saved) {
      if (value) {
        setenv(name, value->c_str(), 1);
      } else {
        unsetenv(name);
      }
    }
    ConfigTest::TearDown();
  }

  // A Sun home whose listed flavours have a library.
  std::string sunHome(bool jdk, int layout, const std::string& jvmCfg, std::vector<std::string> flavours,
                      const std::string& relative = "jdk") {
    std::string home = makeSunJavaHome(dir, relative, jdk, layout, jvmCfg);
    for (const std::string& flavour : flavours) {
      std::string lib = oldLayoutLibraryDir(home, jdk) + "/" + flavour + "/libjvm.so";
      dir.writeFile(lib.substr(dir.path().size() + 1), "");
    }
    return home;
  }

  // A modular runtime whose server library holds the given bytes.
  std::string modularHome(const std::string& relative, const std::string& library) {
    for (const char* file : {"/bin/java", "/lib/modules", "/lib/jvm.cfg"}) dir.writeFile(relative + file, "", 0755);
    dir.writeFile(relative + "/release", "JAVA_VERSION=\"21\"\n");
    dir.writeFile(relative + "/lib/server/libjvm.so", library);
    return dir.file(relative);
  }

  struct LibDir {
    std::optional<std::string> dir;
    int subType = 0;  ///< the flavour chosen
    std::string err, trace;
  };
  LibDir libDir(const std::string& home, int subType = kSubTypeDefault) {
    jopSetJavaHome(home);
    LibDir result;
    result.trace = traced([&] {
      testing::internal::CaptureStderr();
      if (std::optional<JavaChoice> java = jevChooseJava(subType)) {
        result.dir = java->libraryDir;
        result.subType = java->info.jvmSubType;
      }
      result.err = testing::internal::GetCapturedStderr();
    });
    return result;
  }
  // The Java at home, chosen, for what reads the choice.
  static JavaChoice chosen(const std::string& home) {
    jopSetJavaHome(home);
    return jevChooseJava(kSubTypeDefault).value_or(JavaChoice{});
  }

  static constexpr const char* kSaved[] = {"LD_LIBRARY_PATH", "LD_PRELOAD", "J2SE_PREEMPTCLOSE", "KRX_NO_SAFETY_NET",
                                           "PATH", "JAVA_HOME"};
  std::vector<std::pair<const char*, std::optional<std::string>>> saved;
};

TEST_F(JvmDiscoveryTest, HomesAreClassifiedByTheFilesTheyHold) {
  std::string arch = kArchDir;
  struct Case {
    const char* name;
    std::vector<std::string> files;
    bool accepted;
    VMInfo info;
    const char* trace;
  } cases[] = {
      {"Sun JDK 1.4", {"bin/javac", "bin/java", "bin/tnameserv", "jre/lib/" + arch + "/jvm.cfg"}, true,
       {1, kJvmTypeJdk, kLayout14, kVendorSun}, "JVM appears to be Sun Java 2 v1.4\n"},
      {"Sun JDK 1.3", {"bin/javac", "bin/tnameserv", "jre/lib/jvm.cfg"}, true, {1, kJvmTypeJdk, kLayout13, kVendorSun},
       "JVM appears to be Sun Java 2 v1.3\n"},
      {"Sun JRE 1.4", {"bin/java", "bin/tnameserv", "lib/" + arch + "/jvm.cfg"}, true,
       {1, kJvmTypeJre, kLayout14, kVendorSun}, "JVM appears to be Sun Java 2 v1.4\n"},
      {"Java 8 runtime in a JDK's layout",
       {"bin/java", "bin/tnameserv", "jre/bin/java", "jre/bin/tnameserv", "jre/lib/" + arch + "/jvm.cfg"}, true,
       {1, kJvmTypeJdk, kLayout14, kVendorSun}, "JVM appears to be Sun Java 2 v1.4\nJVM appears to be in the jre directory of <home>\n"},
      {"IBM JDK", {"bin/javac", "bin/tnameserv", "jre/bin/liborb.so"}, true, {1, kJvmTypeJdk, kLayout13, kVendorIbm},
       "JVM appears to be Java 2 - assuming it's IBM 1.3.1\n"},
      {"IBM JRE", {"bin/java", "bin/tnameserv", "bin/liborb.so"}, true, {1, kJvmTypeJre, kLayout13, kVendorIbm},
       "JVM appears to be Java 2 - assuming it's IBM 1.3.1\n"},
      {"no jvm.cfg, no liborb.so", {"bin/java", "bin/tnameserv", "jre/lib/jvm.cfg"}, false, {}, ""},
      {"no tnameserv", {"bin/javac", "bin/java", "jre/lib/" + arch + "/jvm.cfg"}, false, {}, ""},
      {"modular without release", {"bin/java", "lib/modules", "lib/jvm.cfg"}, false, {}, ""},
  };
  for (const Case& c : cases) {
    TempDir home;
    for (const std::string& file : c.files) home.writeFile(file, "");
    VMInfo info;
    bool accepted = false;
    std::string out = traced([&] { accepted = jevBasicJDKJREChecks(info, home.path()); });
    EXPECT_EQ(accepted, c.accepted) << c.name;
    std::string trace = c.trace;
    if (std::size_t at = trace.find("<home>"); at != std::string::npos) trace.replace(at, 6, home.path());
    EXPECT_EQ(out, trace) << c.name;
    if (c.accepted) {
      EXPECT_EQ(info.jvmType, c.info.jvmType) << c.name;
      EXPECT_EQ(info.jvmVersion, c.info.jvmVersion) << c.name;
      EXPECT_EQ(info.jvmVendor, c.info.jvmVendor) << c.name;
    }
  }
}

TEST_F(JvmDiscoveryTest, CurrentJdksAreModularRuntimes) {
  for (const std::string& jdk : installedJdks()) {
    VMInfo info;
    std::string out = traced([&] { EXPECT_TRUE(jevBasicJDKJREChecks(info, jdk)) << jdk; });
    EXPECT_EQ(out.rfind("JVM appears to be a modular Java runtime, version ", 0), 0u) << out;
    EXPECT_EQ(info.jvmVersion, kLayoutModular);
    EXPECT_EQ(info.jvmType, std::filesystem::exists(jdk + "/bin/javac") ? kJvmTypeJdk : kJvmTypeJre) << jdk;
  }
  LibDir result = libDir(testJdkHome());
  EXPECT_EQ(result.dir, testJvmLibraryDir());
  EXPECT_EQ(result.subType, kSubTypeServer);
}

TEST_F(JvmDiscoveryTest, LibraryAndJvmCfgPathsFollowTheLayout) {
  std::string arch = kArchDir;
  struct Case {
    VMInfo info;
    std::string library, jvmCfg;
  } cases[] = {
      {{kSubTypeClient, kJvmTypeJre, kLayout14, kVendorSun}, "/h/lib/" + arch + "/client/libjvm.so",
       "/h/lib/" + arch + "/jvm.cfg"},
      {{kSubTypeServer, kJvmTypeJdk, kLayout13, kVendorSun}, "/h/jre/lib/" + arch + "/server/libjvm.so",
       "/h/jre/lib/jvm.cfg"},
      {{kSubTypeHotspot, kJvmTypeJdk, kLayout14, kVendorSun}, "/h/jre/lib/" + arch + "/client/libjvm.so",
       "/h/jre/lib/" + arch + "/jvm.cfg"},
      {{kSubTypeClassic, kJvmTypeJre, kLayout13, kVendorSun},
       "/h/lib/" + arch + (kSolaris ? "/client" : "/classic") + "/libjvm.so", "/h/lib/jvm.cfg"},
      {{kSubTypeServer, kJvmTypeJre, kLayout13, kVendorIbm},
       kSolaris ? "/h/lib/sparc/server/libjvm.so" : "/h/bin/classic/libjvm.so", kSolaris ? "/h/lib/jvm.cfg" : ""},
      {{kSubTypeServer, kJvmTypeJdk, kLayout13, kVendorIbm},
       kSolaris ? "/h/jre/lib/sparc/server/libjvm.so" : "/h/jre/bin/classic/libjvm.so",
       kSolaris ? "/h/jre/lib/jvm.cfg" : ""},
      {{kSubTypeServer, kJvmTypeJdk, kLayoutModular, kVendorSun}, "/h/lib/server/libjvm.so", "/h/lib/jvm.cfg"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(jmdGetJVMSharedLib("/h", c.info), c.library);
    EXPECT_EQ(jmdGetJVMConfigFile("/h", c.info).value_or(""), c.jvmCfg);
  }
}

TEST_F(JvmDiscoveryTest, FirstAcceptableJvmCfgLineWithALibraryChoosesTheFlavour) {
  struct Case {
    const char* name;
    int layout;
    const char* jvmCfg;
    std::vector<std::string> flavours;
    int subType;
    const char* chosen;
  } cases[] = {
      {"client first", kLayout14, "-client KNOWN\n-server KNOWN\n", {"client", "server"}, kSubTypeClient, "client"},
      {"client missing", kLayout14, "-client KNOWN\n-server KNOWN\n", {"server"}, kSubTypeServer, "server"},
      {"alias", kLayout14, "-native ERROR\n-hotspot ALIASED_TO -client\n", {"client"}, kSubTypeHotspot, "client"},
      {"1.3 flavour alone", kLayout13, "# jvms\n-classic\n", {"classic", "client"}, kSubTypeClassic,
       kSolaris ? "client" : "classic"},
      {"1.4 needs a status", kLayout14, "-classic\n-server WARN\n", {"classic", "server"}, kSubTypeServer, "server"},
  };
  int index = 0;
  for (const Case& c : cases) {
    jevReset();
    std::string home = sunHome(true, c.layout, c.jvmCfg, c.flavours, "jdk" + std::to_string(index++));
    LibDir result = libDir(home);
    EXPECT_EQ(result.dir, oldLayoutLibraryDir(home, true) + "/" + c.chosen) << c.name << result.err;
    EXPECT_EQ(result.subType, c.subType) << c.name;
  }
}

TEST_F(JvmDiscoveryTest, JvmCfgTraceNamesEachLine) {
  std::string home = sunHome(true, kLayout14, "-native ERROR\n-client KNOWN\n-server KNOWN\n", {"server"});
  std::string cfg = oldLayoutLibraryDir(home, true) + "/jvm.cfg";
  LibDir result = libDir(home);
  EXPECT_NE(result.trace.find("Ignored <-native ERROR> from <" + cfg + ">\nIgnored <-client KNOWN> from <" + cfg +
                              ">\nProcessed <-server KNOWN> from <" + cfg + ">\nJVM shared library dir is " +
                              oldLayoutLibraryDir(home, true) + "/server\n"),
            std::string::npos)
      << result.trace;
}

TEST_F(JvmDiscoveryTest, ChosenFlavourSkipsJvmCfg) {
  std::string home = sunHome(true, kLayout14, "this would not parse\n", {"server"});
  LibDir result = libDir(home, kSubTypeServer);
  EXPECT_EQ(result.dir, oldLayoutLibraryDir(home, true) + "/server");
  EXPECT_EQ(result.trace.find("jvm.cfg"), std::string::npos);
}

TEST_F(JvmDiscoveryTest, FailuresAreReported) {
  std::string home = sunHome(true, kLayout14, "-client KNOWN\n-zero KNOWN\n", {});
  std::string cfg = oldLayoutLibraryDir(home, true) + "/jvm.cfg";
  EXPECT_EQ(libDir(home).err, "Error: No JVM found in '" + cfg + "'.\n");

  jevReset();
  LibDir missing = libDir(home, kSubTypeClient);
  EXPECT_EQ(missing.err, "Unable to find a suitable Java VM in " + home + "\n");
  EXPECT_NE(missing.trace.find("No JVM shared library at " + oldLayoutLibraryDir(home, true) + "/client/libjvm.so\n"),
            std::string::npos);

  jevReset();
  std::filesystem::remove(cfg);
  dir.makeDir(cfg.substr(dir.path().size() + 1));
  EXPECT_EQ(libDir(home).err, "Error: Configuration file '" + cfg + "' is not a regular file.\n");

  jevReset();
  jopTerm();
  jopInit();
  EXPECT_EQ(libDir(dir.file("nothing-here")).err,
            "Unable to find a JDK or JRE.\n"
            "Check your installation and use +javahome to specify the JDK or JRE location\n"
            "  javahome " + dir.file("nothing-here") + ": missing\n"
            "Correct javahome in the configuration to name a usable JDK or JRE, or remove it to let the launcher "
            "search JAVA_HOME, PATH and /usr/lib/jvm.\n");
}

TEST_F(JvmDiscoveryTest, ReferenceImplementationInTheHomeIsRefusedUnlessAllowed) {
  std::string home = sunHome(false, kLayout14, "-client KNOWN\n", {"client"});
  dir.writeFile("jdk/lib/j2ee.jar", "");
  EXPECT_EQ(libDir(home).err, "Sun's J2EE Reference Implementation found in " + home +
                                  ".\nCorvane Kestrix requires J2SE, not J2EE.\n");
  setenv("KRX_NO_SAFETY_NET", "", 1);
  EXPECT_TRUE(libDir(home).dir.has_value());
  unsetenv("KRX_NO_SAFETY_NET");
  EXPECT_FALSE(libDir(home).dir.has_value());
  ASSERT_TRUE(process("options allowri\n").ok);
  EXPECT_TRUE(libDir(home).dir.has_value());
}

TEST_F(JvmDiscoveryTest, LibraryPathGetsTheJvmDirectoriesInFront) {
  std::string home = sunHome(true, kLayout14, "-client KNOWN\n", {"client"});
  std::string libs = oldLayoutLibraryDir(home, true);
  LoaderEnvironment loader;
  jmdSetJavaEnvironment(chosen(home), loader);
  hmdRememberStartEnvironment();
  bool restart = false;
  ASSERT_TRUE(hmdSetEnvironment(loader, &restart));
  unsetenv(geteuid() == 0 ? "LAUNCHER_ENV_CHECKED" : "JLAUNCHER_LIBRARY_PATH_REEXEC");
  EXPECT_TRUE(restart);
  std::string expected = kSolaris ? home + "/lib/sparc:" + libs + "/native_threads:" + libs + "/client:" + libs
                                  : home + "/lib/" + kArchDir + ":" + libs + "/native_threads:" + libs + "/client:" + libs;
  EXPECT_STREQ(getenv("LD_LIBRARY_PATH"), expected.c_str());

  // A modular runtime needs none of its directories there.
  jevReset();
  LoaderEnvironment modular;
  jmdSetJavaEnvironment(chosen(testJdkHome()), modular);
  EXPECT_EQ(modular.libraryPathFront, std::vector<std::string>{});
}

TEST_F(JvmDiscoveryTest, PreemptiveCloseIsPreloadedOnlyWhenAskedExactly) {
  std::string home = sunHome(false, kLayout14, "-client KNOWN\n", {"client"});
  JavaChoice java = chosen(home);
  for (const char* value : {"10", "yes", "1"}) {
    setenv("J2SE_PREEMPTCLOSE", value, 1);
    LoaderEnvironment loader;
    jmdSetJavaEnvironment(java, loader);
    bool preloaded = loader.preloadFront == std::vector<std::string>{"libpreemptive_close.so"};
    EXPECT_EQ(preloaded, !kSolaris && std::string(value) == "1") << value;
  }
  // The JVM library itself never stays preloaded.
  unsetenv("J2SE_PREEMPTCLOSE");
  setenv("LD_PRELOAD", ("a.so " + java.library + " b.so").c_str(), 1);
  unsetenv("LD_LIBRARY_PATH");
  hmdRememberStartEnvironment();
  bool restart = true;
  LoaderEnvironment loader;
  loader.library = java.library;
  ASSERT_TRUE(hmdSetEnvironment(loader, &restart));
  EXPECT_FALSE(restart);
  EXPECT_STREQ(getenv("LD_PRELOAD"), "a.so b.so");
}

TEST_F(JvmDiscoveryTest, DefaultJvmIsFoundThroughPathAndItsLinks) {
  std::string home = sunHome(true, kLayout14, "-client KNOWN\n", {"client"});
  setenv("PATH", (dir.file("nothing") + ":" + home + "/bin").c_str(), 1);
  jevConfigureDefaultJVM();
  EXPECT_STREQ(jopGetJavaHome(), home.c_str());

  // JAVA_HOME and the first java on PATH hold a library for another
  // architecture, which is passed over; the next java links to a runtime
  // whose library is the fake JVM, built for the launcher's CPU.
  jopTerm();
  jopInit();
  std::string foreign = modularHome("foreign", foreignElfHeader());
  std::string native = modularHome("native", readFile(fakeJvmLibrary()));
  dir.symlink(native + "/bin/java", "links/bin/java");
  setenv("JAVA_HOME", foreign.c_str(), 1);
  setenv("PATH", (foreign + "/bin:" + dir.file("links/bin")).c_str(), 1);
  std::string out = traced([] { jevConfigureDefaultJVM(); });
  EXPECT_STREQ(jopGetJavaHome(), native.c_str());
  EXPECT_NE(out.find(dir.file("links/bin/java") + " is a link to " + native + "/bin/java; trying the Java home " +
                     native + "\n"),
            std::string::npos)
      << out;

  // A foreign java alone on PATH: the runtimes installed beside it are
  // searched, and one of this machine's JDKs is taken where they are for
  // the launcher's architecture.
  jopTerm();
  jopInit();
  unsetenv("JAVA_HOME");
  setenv("PATH", (foreign + "/bin").c_str(), 1);
  jevConfigureDefaultJVM();
  std::vector<std::string> jdks = installedJdks();
  if (std::none_of(jdks.begin(), jdks.end(), [](const std::string& jdk) {
        return jdk.starts_with("/usr/lib/jvm/") && !jmdIsForeignLibrary(jdk + "/lib/server/libjvm.so");
      })) {
    EXPECT_EQ(jopGetJavaHome(), nullptr);
  } else {
    ASSERT_NE(jopGetJavaHome(), nullptr);
    EXPECT_NE(std::find(jdks.begin(), jdks.end(), std::filesystem::canonical(jopGetJavaHome()).string()), jdks.end())
        << jopGetJavaHome();
  }

  jopTerm();
  jopInit();
  ASSERT_TRUE(process("options allowjavaonpath\n").ok);
  jevConfigureDefaultJVM();
  EXPECT_EQ(jopGetJavaHome(), nullptr);
}

TEST_F(JvmDiscoveryTest, NonStandardOptionsListComesFromXusage) {
  std::string home = sunHome(false, kLayout14, "-client KNOWN\n", {"client"});
  std::string libs = oldLayoutLibraryDir(home, false) + "/client";
  JavaChoice java = chosen(home);
  testing::internal::CaptureStderr();
  jevPrintXUsage(java);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Can't open " + libs + "/Xusage.txt\n");

  std::string usage(300, 'u');
  dir.writeFile(libs.substr(dir.path().size() + 1) + "/Xusage.txt", usage + "\n");
  testing::internal::CaptureStdout();
  jevPrintXUsage(java);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), usage + "\n");

  jevReset();
  testing::internal::CaptureStderr();
  jevPrintXUsage(chosen(testJdkHome()));
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Can't open " + testJvmLibraryDir() + "/Xusage.txt\nThe non-standard options of this Java VM are listed by '" +
                testJdkHome() + "/bin/java -X'.\n");
}

}  // namespace
