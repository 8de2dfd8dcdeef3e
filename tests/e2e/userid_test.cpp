// The user and group natives of the solaris profile: exported by the
// launcher, and their results and exceptions seen from Java. Each case runs
// in a process of its own (this program started again with --probe), which
// creates a JVM and registers the natives itself, as an unprivileged user
// where the case needs one.

#include <dlfcn.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <iostream>

#include "host/userid.h"
#include "launcher.h"

namespace {

constexpr uid_t kNobody = 65534;

int probe(char** argv) {
  bool unprivileged = std::strcmp(argv[2], "1") == 0;
  std::string jar = argv[3];
  const char* method = argv[4];
  const char* arg = std::strcmp(argv[5], "<null>") == 0 ? nullptr : argv[5];
  if (unprivileged && geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0)) {
    return 2;
  }
  void* library = dlopen((testJvmLibraryDir() + "/libjvm.so").c_str(), RTLD_NOW);
  auto create = reinterpret_cast<jint(JNICALL*)(JavaVM**, void**, void*)>(dlsym(library, "JNI_CreateJavaVM"));
  std::string classPath = "-Djava.class.path=" + jar;
  JavaVMOption options[] = {{classPath.data(), nullptr}, {const_cast<char*>("-XX:-UsePerfData"), nullptr}};
  JavaVMInitArgs initArgs{JNI_VERSION_1_2, 2, options, JNI_FALSE};
  JavaVM* vm = nullptr;
  JNIEnv* env = nullptr;
  if (create == nullptr || create(&vm, reinterpret_cast<void**>(&env), &initArgs) != JNI_OK) return 3;
  hmdRegisterUserIdNatives(env);
  jclass prober = env->FindClass("jltest/UserIdProbe");
  if (prober == nullptr) return 4;
  jmethodID call = env->GetStaticMethodID(prober, "probe", "(Ljava/lang/String;Ljava/lang/String;)Ljava/lang/String;");
  auto result = static_cast<jstring>(
      env->CallStaticObjectMethod(prober, call, env->NewStringUTF(method), arg ? env->NewStringUTF(arg) : nullptr));
  if (result == nullptr) return 5;
  std::cout << env->GetStringUTFChars(result, nullptr) << std::flush;
  return 0;
}

std::string self;

class UserIdTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Readable by the unprivileged user too.
    chmod(dir.path().c_str(), 0755);
    jar = dir.copyFile(testAppsJar(), "jltest.jar");
    chmod(jar.c_str(), 0644);
  }
  ProcessResult run(bool unprivileged, const std::string& method, const std::string& arg) {
    ProcessCommand command;
    command.program = self;
    command.argv = {self, "--probe", unprivileged ? "1" : "0", jar, method, arg};
    return runProcess(command);
  }
  TempDir dir;
  std::string jar;
};

TEST_F(UserIdTest, NativesAreExportedFromTheExecutable) {
  ProcessCommand nm;
  nm.program = "/usr/bin/nm";
  nm.argv = {"nm", "-D", "--defined-only", launcherBinary()};
  std::string symbols = runProcess(nm).out;
  for (const char* name : {"Java_com_corvane_kestrix_UserId_setUser", "Java_com_corvane_kestrix_UserId_setGroup",
                           "Java_com_corvane_kestrix_UserId_isRootUser"}) {
    EXPECT_NE(symbols.find(std::string(" T ") + name + "\n"), std::string::npos) << name;
  }
}

TEST_F(UserIdTest, ReachedThroughTheLauncher) {
  std::string launcher = installLauncher(dir, "app/bin/myapp");
  dir.writeFile("app/bin/myapp.config",
                "javahome " + testJdkHome() + "\naddpath ../../jltest.jar\nmainclass jltest.UserIdProbe\n");
  ProcessResult result = runLauncher(launcher, {launcher, "isRootUser"}, {{"PATH", kPathWithoutJava}});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, geteuid() == 0 ? "true\n" : "false\n");
  ProcessResult refused =
      runLauncher(launcher, {launcher, "setGroup", "no-such-group-jl"}, {{"PATH", kPathWithoutJava}});
  EXPECT_EQ(refused.out, "IllegalArgumentException: Invalid group: no-such-group-jl\n");
}

TEST_F(UserIdTest, ResultsAndExceptionsAsJavaSeesThem) {
  struct Case {
    bool unprivileged;
    const char* method;
    const char* arg;
    std::string expected;
  } cases[] = {
      {false, "setUser", "<null>", "NullPointerException: null value"},
      {false, "setGroup", "<null>", "NullPointerException: null value"},
      {false, "setUser", "no-such-user-jl", "IllegalArgumentException: Invalid user: no-such-user-jl"},
      {false, "setGroup", "no-such-group-jl", "IllegalArgumentException: Invalid group: no-such-group-jl"},
      {true, "setUser", "4294967295", "IllegalArgumentException: Invalid user id: 4294967295"},
      {true, "setGroup", "4294967295x", "IllegalArgumentException: Invalid group id: 4294967295x"},
      {true, "setUser", "0", "false"},
      {true, "setUser", "root", "false"},
      {true, "setGroup", "0", "false"},
      {true, "isRootUser", "-", "false"},
      {false, "isRootUser", "-", geteuid() == 0 ? "true" : "false"},
  };
  for (const Case& c : cases) {
    ProcessResult result = run(c.unprivileged, c.method, c.arg);
    EXPECT_EQ(result.status, 0) << c.method << " " << c.arg << result.err;
    EXPECT_EQ(result.out, c.expected) << c.method << " " << c.arg;
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 6 && std::strcmp(argv[1], "--probe") == 0) return probe(argv);
  self = argv[0];
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
