// Today's Java tools wrapped by the launcher the way their own scripts start
// them: their -X, -D and -verbose options reach the tool, and their *_OPTS
// variables reach the JVM.

#include <gtest/gtest.h>

#include <filesystem>

#include "launcher.h"

namespace {

// The README's recipes, word for word.
const std::string kMavenRecipe =
    "addjars /usr/share/maven/boot\n"
    "vmparamsfile $findup(.mvn)/.mvn/jvm.config\n"
    "vmparams $env(MAVEN_OPTS:)\n"
    "vmprop classworlds.conf=/usr/share/maven/bin/m2.conf\n"
    "vmprop maven.home=/usr/share/maven\n"
    "vmprop library.jansi.path=/usr/share/maven/lib/jansi-native\n"
    "vmprop maven.multiModuleProjectDirectory=$findup(.mvn)\n"
    "export MAVEN_PROJECTBASEDIR=$findup(.mvn)\n"
    "options appargs\n"
    "mainclass org.codehaus.plexus.classworlds.launcher.Launcher\n";
const std::string kAntRecipe =
    "addpath /usr/share/ant/lib/ant-launcher.jar\n"
    "vmparams $env(ANT_OPTS:)\n"
    "vmprop ant.home=/usr/share/ant\n"
    "vmprop ant.library.dir=/usr/share/ant/lib\n"
    "vmprop java.security.manager=allow\n"
    "options appargs\n"
    "addparams $env(ANT_ARGS:) -cp \"$env(CLASSPATH:)\"\n"
    "mainclass org.apache.tools.ant.launch.Launcher\n";

class ToolTest : public ::testing::Test {
 protected:
  ProcessResult run(const std::string& tool, const std::string& config, std::vector<std::string> args,
                    std::map<std::string, std::optional<std::string>> env = {}, const std::string& cwd = "project") {
    std::string launcher = installLauncher(dir, "bin/" + tool);
    dir.writeFile("bin/" + tool + ".config", config);
    args.insert(args.begin(), launcher);
    env.emplace("PATH", kPathWithoutJava);
    return runLauncher(launcher, args, env, dir.file(cwd));
  }
  TempDir dir;
};

class JavacTest : public ToolTest, public ::testing::WithParamInterface<std::string> {};

// javac's own -X option, as the JDK's javac prints its findings.
TEST_P(JavacTest, LintOptionsReachTheCompiler) {
  if (!std::filesystem::exists(GetParam() + "/bin/javac")) GTEST_SKIP() << "a runtime without the JDK has no javac";
  dir.writeFile("project/W.java", "import java.util.*;\nclass W { List l = new ArrayList(); }\n");
  ProcessResult direct = runLauncher(GetParam() + "/bin/javac", {"javac", "-Xlint:all", "-d", "direct", "W.java"},
                                     {}, dir.file("project"));
  ASSERT_NE(direct.err.find("warning: [rawtypes]"), std::string::npos) << direct.err;
  std::string config = "javahome " + GetParam() + "\noptions appargs\nmainclass com.sun.tools.javac.Main\n";
  ProcessResult result = run("javac", config, {"-Xlint:all", "-d", "out", "W.java"});
  EXPECT_EQ(result.status, direct.status);
  EXPECT_EQ(result.err, direct.err);
  EXPECT_EQ(result.out, direct.out);
  EXPECT_TRUE(std::filesystem::exists(dir.file("project/out/W.class")));
}

INSTANTIATE_TEST_SUITE_P(Jdks, JavacTest, ::testing::ValuesIn(installedJdks()),
                         [](const auto& info) { return jdkTestName(info.param); });

// Debian's maven package, started as its mvn script starts it.
TEST_F(ToolTest, MavenDebugBuildWithMavenOpts) {
  dir.writeFile("project/pom.xml",
                "<project><modelVersion>4.0.0</modelVersion><groupId>t</groupId><artifactId>t</artifactId>"
                "<version>1</version><packaging>pom</packaging></project>\n");
  std::string repository = dir.file("repo with space");
  std::string mavenOpts = "-Xmx256m '-Dmaven.repo.local=" + repository + "'";
  ProcessResult result =
      run("mvn", kMavenRecipe, {"-o", "-B", "-X", "validate"}, {{"JAVA_HOME", testJdkHome()}, {"MAVEN_OPTS", mavenOpts}});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_NE(result.out.find("[DEBUG] Using local repository at " + repository), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("[INFO] BUILD SUCCESS"), std::string::npos) << result.out;
}

// The project's .mvn directory, found from a subdirectory as mvn finds it:
// its jvm.config gives the JVM a property the POM reads and options in the
// java command's form, its maven.config quiets Maven. Both print the version
// and the same error about the module the property names, and nothing else.
TEST_F(ToolTest, MavenProjectSettingsFromAParentDirectoryAsMvnReadsThem) {
  dir.writeFile("project/.mvn/jvm.config",
                "-Dmodule.name=from-jvm-config\n-Xss2m -showversion --add-opens java.base/java.lang=ALL-UNNAMED\n");
  dir.writeFile("project/.mvn/maven.config", "-q\n");
  dir.writeFile("project/sub/pom.xml",
                "<project><modelVersion>4.0.0</modelVersion><groupId>t</groupId><artifactId>t</artifactId>"
                "<version>1</version><packaging>pom</packaging><modules><module>${module.name}</module></modules>"
                "</project>\n");
  const std::map<std::string, std::optional<std::string>> env = {
      {"JAVA_HOME", testJdkHome()}, {"PATH", "/usr/bin:/bin"}, {"MAVEN_SKIP_RC", "1"},
      {"MAVEN_BASEDIR", std::nullopt}, {"MAVEN_OPTS", "-Xmx256m"}};
  ProcessResult mvn = runLauncher("/usr/bin/mvn", {"mvn", "-o", "validate"}, env, dir.file("project/sub"));
  ASSERT_NE(mvn.out.find("Child module " + dir.file("project/sub/from-jvm-config") + " of "), std::string::npos)
      << mvn.out << mvn.err;
  ProcessResult result = run("mvn", kMavenRecipe, {"-o", "validate"}, env, "project/sub");
  EXPECT_EQ(result.status, mvn.status);
  EXPECT_EQ(result.out, mvn.out);
  EXPECT_EQ(result.err, mvn.err);
}

// Debian's ant package, started as its ant script starts it.
TEST_F(ToolTest, AntVerboseBuildWithAntOpts) {
  dir.writeFile("project/build.xml",
                "<project default=\"hello\"><target name=\"hello\"><echo message=\"${greeting} ${x}\"/></target>"
                "</project>\n");
  ProcessResult result = run("ant", kAntRecipe, {"-verbose", "-Dx=from the command line"},
                             {{"JAVA_HOME", testJdkHome()}, {"ANT_OPTS", "\"-Dgreeting=hello from\" -Xss2m"}});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_NE(result.out.find("Build sequence for target(s) `hello' is [hello]\n"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("     [echo] hello from from the command line\n"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("\nBUILD SUCCESSFUL\n"), std::string::npos);
}

// Where Ant's diagnostics say Ant, its tasks and its XML parsers come from
// (every section before the system properties), and the properties the ant
// script sets: the launcher sets properties of its own, and the JVM lists
// them all in another order.
std::string antOrigins(const std::string& diagnostics) {
  std::string origins = diagnostics.substr(0, diagnostics.find(" System properties\n"));
  for (const std::string key : {"ant.home", "ant.library.dir", "java.class.path", "java.security.manager",
                                "sun.java.command", "user.dir"}) {
    std::size_t line = diagnostics.find("\n" + key + " : ");
    if (line != std::string::npos) origins += diagnostics.substr(line, diagnostics.find('\n', line + 1) - line);
  }
  return origins;
}

// Ant loads its own jars only, with the arguments of ANT_ARGS and the class
// path of CLASSPATH after the launcher's options, as Debian's ant passes them.
TEST_F(ToolTest, AntDiagnosticsNameWhatDebiansAntNames) {
  dir.makeDir("project/classes");
  const std::map<std::string, std::optional<std::string>> env = {
      {"JAVA_HOME", testJdkHome()}, {"PATH", "/usr/bin:/bin"}, {"ANT_HOME", std::nullopt},
      {"ANT_OPTS", "-Xss2m"}, {"ANT_ARGS", "-Dfrom=\"ANT_ARGS words\""}, {"CLASSPATH", dir.file("project/classes")}};
  ProcessResult ant = runLauncher("/usr/bin/ant", {"ant", "-diagnostics"}, env, dir.file("project"));
  ASSERT_EQ(ant.status, 0) << ant.err;
  ASSERT_NE(ant.out.find("ant.library.dir : /usr/share/ant/lib\n"), std::string::npos) << ant.out;
  ProcessResult result = run("ant", kAntRecipe, {"-diagnostics"}, env);
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(antOrigins(result.out), antOrigins(ant.out));
  EXPECT_EQ(result.err, ant.err);
}

}  // namespace
