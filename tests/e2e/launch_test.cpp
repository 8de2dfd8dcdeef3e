// A launch that cannot find a JVM library stops at the loading stage.

#include <gtest/gtest.h>

#include "launcher.h"

namespace {

TEST(LaunchTest, MissingJvmLibraryEndsWithOneAndTheLoaderMessage) {
  TempDir dir;
  std::string launcher = installLauncher(dir, "app/bin/myapp");
  dir.writeFile("app/bin/myapp.config", "# nothing to configure\n");
  ProcessResult result = runLauncher(launcher, {launcher, "some", "args"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err,
            "Error loading Java VM library: libjvm.so [libjvm.so: cannot open shared object file: No such file or "
            "directory]\n");
  EXPECT_EQ(result.out, "");
}

TEST(LaunchTest, ArgumentsBecomeApplicationArgumentsInOrder) {
  TempDir dir;
  std::string launcher = installLauncher(dir, "app/bin/myapp");
  dir.writeFile("app/bin/myapp.config", "apparg first\n");
  ProcessResult result = runLauncher(launcher, {launcher, "one", "+DEBUG", "two words", ""}, {}, dir.path());
  EXPECT_EQ(result.out,
            "Processed <+DEBUG> arg\n"
            "Processed <two words> application arg\n"
            "Processed <> application arg\n"
            "Look for Configuration file " + dir.file("app/bin/myapp.config") + "\n"
            "Processed <apparg first> from <myapp.config>\n");
  EXPECT_EQ(result.status, 1);
}

}  // namespace
