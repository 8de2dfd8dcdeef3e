// The launch stages run in their order up to the choice of the entry class
// when the real JVM library is found through LD_LIBRARY_PATH.

#include <gtest/gtest.h>

#include "launcher.h"

namespace {

TEST(StagesJvmTest, LoadsTheJvmLibraryThenFindsNoMainClass) {
  TempDir dir;
  std::string launcher = installLauncher(dir, "app/bin/myapp");
  dir.writeFile("app/bin/myapp.config", "# no main class\n");
  ProcessResult result = runLauncher(launcher, {launcher, "one", "two words"},
                                     {{"UTRACE", "-p"}, {"LD_LIBRARY_PATH", testJvmLibraryDir()}}, dir.path());
  EXPECT_EQ(result.out,
            "The full launcher filename and path is set = " + launcher + "\n"
            "The full launcher path is set = " + dir.file("app/bin") + "\n"
            "Processed <one> application arg\n"
            "Processed <two words> application arg\n"
            "Look for Configuration file " + dir.file("app/bin/myapp.config") + "\n"
            "Loaded Java VM Library libjvm.so from LD_LIBRARY_PATH\n"
            "JVM is 1.3.1_01 or later\n");
  EXPECT_EQ(result.err, "Main class is undefined.\n");
  EXPECT_EQ(result.status, 1);
}

}  // namespace
