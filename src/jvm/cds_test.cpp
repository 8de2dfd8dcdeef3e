#include "jvm/cds.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <set>

namespace {

// A machine described by a table: a runtime, the user's files and what the
// cache directory holds.
struct FakeFacts : CdsFacts {
  std::optional<std::string> version = "17.0.15";
  bool baseArchive = true;
  std::map<std::string, CdsFileStamp> files = {{"/app/a.jar", {10, 100, 1}}, {"/jdk/lib/server/libjvm.so", {9, 9, 9}}};
  std::map<std::string, std::string> why;  ///< directories not to be trusted
  std::map<std::string, CdsFileStamp> cache;
  std::map<std::string, std::string> small;
  std::set<std::string> others;  ///< what else is in the cache: links, FIFOs

  std::optional<std::string> releaseVersion() override { return version; }
  std::string release() override { return "JAVA_VERSION=\"" + version.value_or("") + "\"\n"; }
  std::string library() override { return "/jdk/lib/server/libjvm.so"; }
  bool hasBaseArchive(const std::string&) override { return baseArchive; }
  std::optional<CdsFileStamp> regularFile(const std::string& path) override { return find(files, path); }
  std::optional<std::string> trustedDirectory(const std::string& directory, std::string& reason) override {
    if (!why.contains(directory)) return directory;
    reason = why[directory];
    return std::nullopt;
  }
  bool exists(const std::string& path) override { return cache.contains(path) || others.contains(path); }
  std::optional<CdsFileStamp> privateFile(const std::string& path) override { return find(cache, path); }
  std::string smallFile(const std::string& path) override { return small.contains(path) ? small[path] : ""; }

  static std::optional<CdsFileStamp> find(const std::map<std::string, CdsFileStamp>& map, const std::string& path) {
    auto found = map.find(path);
    return found != map.end() ? std::optional(found->second) : std::nullopt;
  }
};

CdsLaunch aLaunch() {
  return {.printOnly = false,
          .setId = false,
          .modularFromHome = true,
          .entryClass = "app.Main",
          .applicationName = "my app",
          .options = {"-Xmx64m", "-Djava.class.path=/app/a.jar", "-Dlauncher.program=/app/bin/my app"},
          .cacheDirectory = "/home/u/.cache/jlauncher",
          .javaToolOptions = std::nullopt,
          .javaOptions = std::nullopt};
}

// Publishes an archive for the launch as the executor would: the archive
// and a stamp that matches it.
void publish(const CdsLaunch& launch, FakeFacts& facts) {
  CdsPlan plan = cdsPlan(launch, facts);
  ASSERT_FALSE(plan.archive.empty());
  facts.cache[plan.archive] = {5000, 77, 7};
  facts.small[plan.stamp] = cdsStampText(facts.cache[plan.archive], plan.classPathPrint);
}

TEST(StartupCachePlanTest, DecidesFromTheLaunchAndTheFiles) {
  constexpr const char* kDir = "/home/u/.cache/jlauncher";
  struct Case {
    const char* name;
    std::function<void(CdsLaunch&, FakeFacts&)> given;
    CdsMode mode;
    std::vector<std::string> notes;  ///< "@" stands for the archive's path
    bool removeStale = false;
    std::vector<std::string> profile = {};
  } cases[] = {
      {"first launch records", [](CdsLaunch&, FakeFacts&) {}, CdsMode::kRecord, {}},
      {"published archive is used", [](CdsLaunch& l, FakeFacts& f) { publish(l, f); }, CdsMode::kUse, {"using @"}},
      {"set-ID", [](CdsLaunch& l, FakeFacts&) { l.setId = true; }, CdsMode::kOff,
       {"not in set-ID mode, whose caller chooses the cache directory"}},
      {"old runtime layout or +javapath", [](CdsLaunch& l, FakeFacts&) { l.modularFromHome = false; }, CdsMode::kOff,
       {"only for a modular Java runtime loaded from its home"}},
      {"an agent", [](CdsLaunch& l, FakeFacts&) { l.options.push_back("-javaagent:/a.jar"); }, CdsMode::kOff,
       {"not with the option -javaagent:/a.jar"}},
      {"the user's sharing", [](CdsLaunch& l, FakeFacts&) { l.options.push_back("-Xshare:off"); }, CdsMode::kOff,
       {"not with the option -Xshare:off"}},
      {"modules from outside", [](CdsLaunch& l, FakeFacts&) { l.options.push_back("-Djdk.module.path=/m"); },
       CdsMode::kOff, {"not with the option -Djdk.module.path=/m"}},
      {"Java 11", [](CdsLaunch&, FakeFacts& f) { f.version = "11.0.2"; }, CdsMode::kOff,
       {"Java 11.0.2 records no archives (Java 13 and later do)"}},
      {"no release version", [](CdsLaunch&, FakeFacts& f) { f.version.reset(); }, CdsMode::kOff,
       {"Java ? records no archives (Java 13 and later do)"}},
      {"no base archive", [](CdsLaunch&, FakeFacts& f) { f.baseArchive = false; }, CdsMode::kOff,
       {"the runtime has no class-data archive of its own to build on"}},
      {"an AOT cache needs no base archive", [](CdsLaunch&, FakeFacts& f) {
         f.version = "25";
         f.baseArchive = false;
       }, CdsMode::kRecord, {}},
      {"a directory on the class path",
       [](CdsLaunch& l, FakeFacts&) { l.options[1] = "-Djava.class.path=/app/a.jar:/app/classes"; }, CdsMode::kOff,
       {"'/app/classes' on the class path is no jar file; only classes from jar files are archived"}},
      {"no cache directory named", [](CdsLaunch& l, FakeFacts&) { l.cacheDirectory.reset(); }, CdsMode::kOff,
       {"none of XDG_CACHE_HOME, CACHE_DIRECTORY and HOME names a directory"}},
      {"a ':' in the directory", [](CdsLaunch& l, FakeFacts&) { l.cacheDirectory = "/c:d/jlauncher"; },
       CdsMode::kOff, {"the JVM cannot name archives in '/c:d/jlauncher'"}},
      {"a directory others can change",
       [&](CdsLaunch&, FakeFacts& f) { f.why[kDir] = "every user can change '" + std::string(kDir) + "'"; },
       CdsMode::kOff, {"every user can change '/home/u/.cache/jlauncher': running without it"}},
      {"printed only, nothing published", [](CdsLaunch& l, FakeFacts&) { l.printOnly = true; }, CdsMode::kOff, {}},
      {"printed only, published", [](CdsLaunch& l, FakeFacts& f) {
         publish(l, f);
         l.printOnly = true;
       }, CdsMode::kUse, {"using @"}},
      // An archive that is not the one published is recorded again: its
      // content or the class path changed since, or its stamp is gone.
      {"archive rewritten", [](CdsLaunch& l, FakeFacts& f) {
         publish(l, f);
         for (auto& [path, file] : f.cache) file.nanoseconds = 8;
       }, CdsMode::kRecord, {"@ changed since it was recorded, or its class path did"}, true},
      {"stamp lost", [](CdsLaunch& l, FakeFacts& f) {
         publish(l, f);
         f.small.clear();
       }, CdsMode::kRecord, {"@ changed since it was recorded, or its class path did"}, true},
      {"jar replaced", [](CdsLaunch& l, FakeFacts& f) {
         publish(l, f);
         f.files["/app/a.jar"].seconds -= 365 * 24 * 3600;
       }, CdsMode::kRecord, {"@ changed since it was recorded, or its class path did"}, true},
      {"a link where the archive belongs", [](CdsLaunch& l, FakeFacts& f) {
         publish(l, f);
         f.others.insert(f.cache.begin()->first);
         f.cache.clear();
       }, CdsMode::kRecord, {"@ changed since it was recorded, or its class path did"}, true},
      {"recording failed before", [](CdsLaunch& l, FakeFacts& f) {
         CdsPlan plan = cdsPlan(l, f);
         f.small[plan.failed] = cdsFailureMark(plan, "failed");
       }, CdsMode::kOff, {"recording @ failed before: running without it"}},
      {"the JVM refused it once", [](CdsLaunch& l, FakeFacts& f) {
         CdsPlan plan = cdsPlan(l, f);
         f.small[plan.failed] = cdsFailureMark(plan, "refused");
       }, CdsMode::kRecord, {}},
      {"printing through the JVM's output", [](CdsLaunch& l, FakeFacts& f) {
         f.version = "25.0.1";
         l.options.push_back("-XX:+PrintFlagsFinal");
       }, CdsMode::kOff, {"not recording with the option -XX:+PrintFlagsFinal"}},
      {"printing under a dynamic archive", [](CdsLaunch& l, FakeFacts&) { l.options.push_back("-XX:+PrintGC"); },
       CdsMode::kRecord, {}},
      {"quick start", [](CdsLaunch& l, FakeFacts&) { l.quickStart = true; }, CdsMode::kRecord, {}, false,
       {"-XX:TieredStopAtLevel=1", "-XX:+UseSerialGC", "-XX:-UsePerfData"}},
      // Mapped with -XX:AOTCache alone: -Xshare beside it stops Java 25.
      {"quick start, published on Java 25", [](CdsLaunch& l, FakeFacts& f) {
         f.version = "25";
         l.quickStart = true;
         publish(l, f);
       }, CdsMode::kUse, {"using @"}, false, {"-XX:TieredStopAtLevel=1", "-XX:+UseSerialGC", "-XX:-UsePerfData"}},
      {"the user's choices win", [](CdsLaunch& l, FakeFacts&) {
         l.quickStart = true;
         l.options.insert(l.options.begin(), {"-XX:TieredStopAtLevel=4", "-XX:+UseG1GC", "-XX:+UsePerfData"});
       }, CdsMode::kRecord, {}},
      {"a collector of the environment's", [](CdsLaunch& l, FakeFacts&) {
         l.quickStart = true;
         l.javaToolOptions = "-Xss2m\t-XX:-TieredCompilation";
         l.javaOptions = "-XX:+UseParallelGC";
       }, CdsMode::kRecord, {}, false, {"-XX:-UsePerfData"}},
      {"quick start on an old runtime", [](CdsLaunch& l, FakeFacts&) {
         l.quickStart = true;
         l.modularFromHome = false;
       }, CdsMode::kOff, {"only for a modular Java runtime loaded from its home"}},
      {"quick start without a cache", [](CdsLaunch& l, FakeFacts&) {
         l.quickStart = true;
         l.setId = true;
       }, CdsMode::kOff, {"not in set-ID mode, whose caller chooses the cache directory"}, false,
       {"-XX:TieredStopAtLevel=1", "-XX:+UseSerialGC", "-XX:-UsePerfData"}},
  };
  for (const Case& c : cases) {
    CdsLaunch launch = aLaunch();
    FakeFacts facts;
    c.given(launch, facts);
    CdsPlan plan = cdsPlan(launch, facts);
    std::vector<std::string> notes;
    for (std::string note : c.notes) {
      if (std::size_t at = note.find('@'); at != std::string::npos) note.replace(at, 1, plan.archive);
      notes.push_back(note);
    }
    EXPECT_EQ(plan.mode, c.mode) << c.name;
    EXPECT_EQ(plan.notes, notes) << c.name;
    EXPECT_EQ(plan.removeStale, c.removeStale) << c.name;
    EXPECT_EQ(plan.profile, c.profile) << c.name;
    if (plan.mode == CdsMode::kOff) continue;
    std::string suffix = facts.version->starts_with("25") ? ".aot" : ".jsa";
    EXPECT_EQ(plan.archive, plan.base + suffix) << c.name;
    EXPECT_TRUE(plan.base.starts_with(std::string(kDir) + "/my_app-")) << c.name << plan.base;
    if (plan.mode == CdsMode::kUse) {
      EXPECT_EQ(plan.front, (std::vector<std::string>{suffix == ".aot" ? "-Xlog:aot*=off,cds*=off" : "-Xlog:cds*=off",
                                                      (suffix == ".aot" ? "-XX:AOTCache=" : "-XX:SharedArchiveFile=") +
                                                          plan.archive}))
          << c.name;
    }
  }
}

// An archive is the application's for one runtime, entry and set of JVM
// options: a change in any of them names another archive, a change in the
// launch's bookkeeping properties does not.
TEST(StartupCachePlanTest, ArchiveNameFollowsWhatShapesTheArchive) {
  struct Case {
    const char* name;
    std::function<void(CdsLaunch&, FakeFacts&)> change;
    bool sameArchive;
  } cases[] = {
      {"a bookkeeping property", [](CdsLaunch& l, FakeFacts&) { l.options[2] = "-Dlauncher.program=/x"; }, true},
      {"a heap size", [](CdsLaunch& l, FakeFacts&) { l.options[0] = "-Xmx128m"; }, false},
      {"the entry class", [](CdsLaunch& l, FakeFacts&) { l.entryClass = "app.Other"; }, false},
      {"JAVA_TOOL_OPTIONS", [](CdsLaunch& l, FakeFacts&) { l.javaToolOptions = "-Xint"; }, false},
      {"_JAVA_OPTIONS", [](CdsLaunch& l, FakeFacts&) { l.javaOptions = "-Xint"; }, false},
      {"a module property", [](CdsLaunch& l, FakeFacts&) { l.options.push_back("-Djdk.module.main=m"); }, false},
      {"the runtime updated", [](CdsLaunch&, FakeFacts& f) { f.files["/jdk/lib/server/libjvm.so"].size = 10; }, false},
      {"quick start", [](CdsLaunch& l, FakeFacts&) { l.quickStart = true; }, false},
  };
  FakeFacts facts;
  std::string archive = cdsPlan(aLaunch(), facts).archive;
  for (const Case& c : cases) {
    CdsLaunch launch = aLaunch();
    FakeFacts changed;
    c.change(launch, changed);
    EXPECT_EQ(cdsPlan(launch, changed).archive == archive, c.sameArchive) << c.name;
  }
  // The name follows the options the JVM is given, whoever chose them.
  CdsLaunch quick = aLaunch(), written = aLaunch();
  quick.quickStart = true;
  written.options.insert(written.options.end(), {"-XX:TieredStopAtLevel=1", "-XX:+UseSerialGC", "-XX:-UsePerfData"});
  EXPECT_EQ(cdsPlan(quick, facts).archive, cdsPlan(written, facts).archive);
}

TEST(StartupCachePlanTest, RecordingOptions) {
  CdsLaunch launch = aLaunch();
  launch.options.insert(launch.options.begin(), {"-XX:StartFlightRecording=filename=r.jfr", "-XX:+UseSerialGC",
                                                 "--add-opens=java.base/java.lang=ALL-UNNAMED", "-ea"});
  FakeFacts facts;
  CdsPlan plan = cdsPlan(launch, facts);
  CdsRecording dynamic = cdsRecordingOptions(plan, launch.options, "/c/rec.tmp", "/c/new.tmp");
  EXPECT_EQ(dynamic.front, (std::vector<std::string>{"-Xlog:cds*=off", "-XX:ArchiveClassesAtExit=/c/rec.tmp"}));
  EXPECT_TRUE(dynamic.back.empty() && dynamic.creation.empty());

  facts.version = "25";
  plan = cdsPlan(launch, facts);
  CdsRecording aot = cdsRecordingOptions(plan, launch.options, "/c/rec.tmp", "/c/new.tmp");
  EXPECT_EQ(aot.front, (std::vector<std::string>{"-Xlog:aot*=off,cds*=off", "-XX:AOTMode=record",
                                                 "-XX:AOTConfiguration=/c/rec.tmp"}));
  EXPECT_EQ(aot.back, (std::vector<std::string>{"-XX:+UnlockDiagnosticVMOptions", "-XX:-DisplayVMOutput"}));
  // The creation run repeats what shapes the cache, but not what writes the
  // user's files.
  EXPECT_EQ(aot.creation,
            (std::vector<std::string>{"-XX:AOTMode=create", "-XX:AOTConfiguration=/c/rec.tmp", "-XX:AOTCache=/c/new.tmp",
                                      "-XX:+UseSerialGC", "--add-opens=java.base/java.lang=ALL-UNNAMED", "-Xmx64m",
                                      "-Djava.class.path=/app/a.jar"}));
}

}  // namespace
