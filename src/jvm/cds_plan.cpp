// The start-up cache's decisions: from the launch and the file facts to a
// plan. Nothing here touches a file; the facts interface does, on request.

#include <algorithm>
#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "jvm/cds.h"
#include "util/utl.h"

namespace {

constexpr int kFirstDynamicRelease = 13;
/// Java 24 introduced the ahead-of-time cache, but only 25 is known here to
/// take the log selections that keep it quiet; an unknown log tag stops the
/// JVM, so 24 keeps the dynamic archive.
constexpr int kFirstAotRelease = 25;

/// Changing what a file holds or how it is named changes this, so that no
/// launcher reads another version's files.
constexpr const char* kFormat = "jlauncher start-up cache 1";

constexpr std::size_t kMaxNameLength = 40;

// The runtime's log selections for its class-data messages: a stale or
// damaged archive is the launcher's business, never the user's.
constexpr const char* kQuietDynamic = "-Xlog:cds*=off";
constexpr const char* kQuietAot = "-Xlog:aot*=off,cds*=off";

/// What a JVM option means to the cache.
enum class OptionUse {
  /// No cache: the user manages class data sharing; an agent runs, which a
  /// Java 17 dump refuses with a failure of the whole launch; modules come
  /// from outside the runtime, which the archives do not cover.
  kNoCache,
  /// Shapes the archive, but writes files or runs commands of the user's,
  /// which the run creating an ahead-of-time cache would do again.
  kRecordedRunOnly,
  /// Asks the JVM to print what the switch keeping an ahead-of-time
  /// recording quiet would swallow: no such recording.
  kNoAotRecording,
  /// Shapes the archive, in the recorded run and in the creation run.
  kCreationToo,
  /// Part of the archive's identity only.
  kNameOnly,
  /// A system property: the launch's own bookkeeping, not the archive's.
  kNone,
};

struct OptionRule {
  std::string_view prefix;
  OptionUse use;
};

/// The first rule whose prefix begins an option says what it means.
constexpr OptionRule kOptionRules[] = {
    {"-Xshare:", OptionUse::kNoCache},
    {"-XX:SharedArchiveFile", OptionUse::kNoCache},
    {"-XX:ArchiveClassesAtExit", OptionUse::kNoCache},
    {"-XX:+AutoCreateSharedArchive", OptionUse::kNoCache},
    {"-XX:AOT", OptionUse::kNoCache},
    {"-XX:SharedClassListFile", OptionUse::kNoCache},
    {"-XX:DumpLoadedClassList", OptionUse::kNoCache},
    {"-XX:+RecordDynamicDumpInfo", OptionUse::kNoCache},
    {"-agentlib:", OptionUse::kNoCache},
    {"-agentpath:", OptionUse::kNoCache},
    {"-javaagent:", OptionUse::kNoCache},
    {"-Xrun", OptionUse::kNoCache},
    {"--module-path", OptionUse::kNoCache},
    {"--upgrade-module-path", OptionUse::kNoCache},
    {"--patch-module", OptionUse::kNoCache},
    {"-Djdk.module.path=", OptionUse::kNoCache},
    {"-Djdk.module.upgrade.path=", OptionUse::kNoCache},
    {"-Djdk.module.patch", OptionUse::kNoCache},
    {"-XX:StartFlightRecording", OptionUse::kRecordedRunOnly},
    {"-XX:FlightRecorderOptions", OptionUse::kRecordedRunOnly},
    {"-XX:LogFile", OptionUse::kRecordedRunOnly},
    {"-XX:+LogVMOutput", OptionUse::kRecordedRunOnly},
    {"-XX:+LogCompilation", OptionUse::kRecordedRunOnly},
    {"-XX:OnError", OptionUse::kRecordedRunOnly},
    {"-XX:OnOutOfMemoryError", OptionUse::kRecordedRunOnly},
    {"-XX:+PerfDataSaveToFile", OptionUse::kRecordedRunOnly},
    {"-XX:+Print", OptionUse::kNoAotRecording},
    {"-XX:", OptionUse::kCreationToo},
    {"-Xm", OptionUse::kCreationToo},
    {"--", OptionUse::kCreationToo},
    {"-Xbootclasspath/a:", OptionUse::kCreationToo},
    {"-Djava.class.path=", OptionUse::kCreationToo},
    {"-Djdk.module.", OptionUse::kCreationToo},
    {"-D", OptionUse::kNone},
};

/// An option of the quick profile, added unless one of the user's options
/// chooses otherwise: one that begins with a prefix given (and ends with the
/// end given, when there is one).
struct ProfileRule {
  std::string_view option;
  std::vector<std::string_view> chosenBy;
  std::string_view chosenEnd = {};
};

// A tool that runs for seconds on few cores: C2's compilations cost more
// than they return, the serial collector starts no threads of its own, and
// without performance data no file is made in /tmp for every run.
const ProfileRule kProfileRules[] = {
    {.option = "-XX:TieredStopAtLevel=1", .chosenBy = {"-XX:TieredStopAtLevel=", "-XX:-TieredCompilation"}},
    {.option = "-XX:+UseSerialGC", .chosenBy = {"-XX:+Use", "-XX:-Use"}, .chosenEnd = "GC"},
    {.option = "-XX:-UsePerfData", .chosenBy = {"-XX:+UsePerfData", "-XX:-UsePerfData"}},
};

OptionUse useOf(std::string_view option) {
  for (const OptionRule& rule : kOptionRules) {
    if (option.starts_with(rule.prefix)) return rule.use;
  }
  return OptionUse::kNameOnly;
}

// The first option of the given use, or null.
const std::string* findOption(const std::vector<std::string>& options, OptionUse use) {
  for (const std::string& option : options) {
    if (useOf(option) == use) return &option;
  }
  return nullptr;
}

// The quick profile's options that none of the user's choose otherwise:
// the final options, and those the JVM takes from the environment (two
// collectors stop it).
std::vector<std::string> quickProfile(const CdsLaunch& launch) {
  if (!launch.quickStart || !launch.modularFromHome) return {};
  std::vector<std::string> own = launch.options;
  for (const std::optional<std::string>& variable : {launch.javaToolOptions, launch.javaOptions}) {
    if (!variable) continue;
    for (const std::string& word : utlSplitList(*variable, " \t\n")) own.push_back(word);
  }
  std::vector<std::string> profile;
  for (const ProfileRule& rule : kProfileRules) {
    bool chosen = std::any_of(own.begin(), own.end(), [&rule](std::string_view option) {
      return option.ends_with(rule.chosenEnd) &&
             std::any_of(rule.chosenBy.begin(), rule.chosenBy.end(),
                         [option](std::string_view prefix) { return option.starts_with(prefix); });
    });
    if (!chosen) profile.emplace_back(rule.option);
  }
  return profile;
}

// 64-bit FNV-1a, for file names: two launches that differ share a name
// with negligible odds.
struct Hash {
  std::uint64_t value = 0xcbf29ce484222325ULL;
  Hash& add(std::string_view text) {
    for (unsigned char c : text) value = (value ^ c) * 0x100000001b3ULL;
    return add('\0');
  }
  Hash& add(char c) {
    value = (value ^ static_cast<unsigned char>(c)) * 0x100000001b3ULL;
    return *this;
  }
  Hash& add(std::uint64_t number) { return add(std::to_string(number)); }
  Hash& add(const CdsFileStamp& file) {
    return add(file.size)
        .add(static_cast<std::uint64_t>(file.seconds))
        .add(static_cast<std::uint64_t>(file.nanoseconds));
  }
  std::string hex() const {
    char text[17];
    std::snprintf(text, sizeof text, "%016" PRIx64, value);
    return text;
  }
};

// The application's name as a file name can hold it, so that a user can tell
// the archives apart.
std::string fileName(const std::string& name) {
  std::string result;
  for (char c : name) {
    if (result.size() == kMaxNameLength) break;
    bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                 std::strchr("._-+", c) != nullptr;
    result += plain ? c : '_';
  }
  if (result.empty() || result[0] == '.') result.insert(0, "app");
  return result;
}

// The class path and the appended boot class path the final options give
// the JVM, each element with its size and time in print; none, with a note,
// when an element is no file: the runtime archives classes from jar files
// only, and fails a whole launch that has a non-empty directory there.
std::optional<std::string> classPathPrint(const CdsLaunch& launch, CdsFacts& facts, CdsPlan& plan) {
  constexpr std::string_view kPaths[] = {"-Djava.class.path=", "-Xbootclasspath/a:"};
  Hash print;
  for (std::string_view option : launch.options) {
    for (std::string_view prefix : kPaths) {
      if (!option.starts_with(prefix)) continue;
      print.add(prefix);
      for (const std::string& file : utlSplitList(option.substr(prefix.size()), ":")) {
        std::optional<CdsFileStamp> stamp = facts.regularFile(file);
        if (!stamp) {
          plan.notes.push_back("'" + file +
                               "' on the class path is no jar file; only classes from jar files are archived");
          return std::nullopt;
        }
        print.add(file).add(*stamp);
      }
    }
  }
  return print.hex();
}

// Everything that decides whether an archive of this launch would be the
// same: the runtime, the application's entry and its JVM options.
std::string archiveName(const CdsLaunch& launch, CdsFacts& facts, const std::string& library) {
  Hash hash;
  hash.add(kFormat).add(facts.release()).add(library);
  if (std::optional<CdsFileStamp> file = facts.regularFile(library)) hash.add(*file);
  // The JVM takes these as if they were among the options.
  hash.add(launch.javaToolOptions.value_or("")).add(launch.javaOptions.value_or(""));
  hash.add(launch.entryClass);
  for (const std::string& option : launch.options) {
    if (useOf(option) != OptionUse::kNone) hash.add(option);
  }
  return fileName(launch.applicationName) + "-" + hash.hex();
}

// Whether the cache applies to the launch at all, and what it would hold.
bool planTarget(const CdsLaunch& launch, CdsFacts& facts, CdsPlan& plan) {
  if (launch.setId) {
    plan.notes.push_back("not in set-ID mode, whose caller chooses the cache directory");
    return false;
  }
  if (!launch.modularFromHome) {
    plan.notes.push_back("only for a modular Java runtime loaded from its home");
    return false;
  }
  if (const std::string* option = findOption(launch.options, OptionUse::kNoCache)) {
    plan.notes.push_back("not with the option " + *option);
    return false;
  }
  std::optional<std::string> version = facts.releaseVersion();
  int major = version ? std::atoi(version->c_str()) : 0;
  if (major < kFirstDynamicRelease) {
    plan.notes.push_back("Java " + version.value_or("?") + " records no archives (Java " +
                         std::to_string(kFirstDynamicRelease) + " and later do)");
    return false;
  }
  plan.kind = major >= kFirstAotRelease ? CdsKind::kAot : CdsKind::kDynamic;
  std::string library = facts.library();
  // The dynamic archive sits on top of the runtime's own, without which the
  // runtime records nothing.
  if (plan.kind == CdsKind::kDynamic && !facts.hasBaseArchive(library)) {
    plan.notes.push_back("the runtime has no class-data archive of its own to build on");
    return false;
  }
  std::optional<std::string> print = classPathPrint(launch, facts, plan);
  if (!print) return false;
  plan.classPathPrint = *print;

  const std::optional<std::string>& directory = launch.cacheDirectory;
  if (!directory) {
    plan.notes.push_back("none of XDG_CACHE_HOME, CACHE_DIRECTORY and HOME names a directory");
    return false;
  }
  // The JVM reads a ':' in an archive's name as the start of another one.
  auto nameable = [&plan](const std::string& path) {
    if (path.find(':') == std::string::npos) return true;
    plan.notes.push_back("the JVM cannot name archives in '" + path + "'");
    return false;
  };
  if (!nameable(*directory)) return false;
  // The cache is trusted only in a directory that no one but the user can
  // change: another user's archive would run their classes in the user's
  // application.
  std::string why;
  std::optional<std::string> trusted = facts.trustedDirectory(*directory, why);
  if (!trusted) plan.notes.push_back(why + ": running without it");
  if (!trusted || !nameable(*trusted)) return false;

  plan.directory = *trusted;
  plan.base = *trusted + "/" + archiveName(launch, facts, library);
  plan.archive = plan.base + (plan.kind == CdsKind::kAot ? ".aot" : ".jsa");
  plan.stamp = plan.base + ".stamp";
  plan.failed = plan.base + ".failed";
  return true;
}

}  // namespace

std::size_t cdsStampTextSize(std::string_view classPathPrint) {
  // The format's line, three numbers of at most 20 digits and a sign, the
  // print, and the blanks and line breaks between them.
  return std::char_traits<char>::length(kFormat) + 3 * 21 + classPathPrint.size() + 5;
}

std::size_t cdsWriteStampText(char* text, const CdsFileStamp& archive, std::string_view classPathPrint) {
  char* at = text;
  char* const end = text + cdsStampTextSize(classPathPrint);
  auto append = [&at](std::string_view part) { at = std::copy(part.begin(), part.end(), at); };
  // to_chars, unlike the C library's printf, takes no lock and reads no locale.
  auto number = [&at, end](auto value) { at = std::to_chars(at, end, value).ptr; };
  append(kFormat);
  append("\n");
  number(archive.size);
  append(" ");
  number(archive.seconds);
  append(" ");
  number(archive.nanoseconds);
  append(" ");
  append(classPathPrint);
  append("\n");
  return static_cast<std::size_t>(at - text);
}

std::string cdsStampText(const CdsFileStamp& archive, const std::string& classPathPrint) {
  std::string text(cdsStampTextSize(classPathPrint), '\0');
  text.resize(cdsWriteStampText(text.data(), archive, classPathPrint));
  return text;
}

std::string cdsFailureMark(const CdsPlan& plan, const char* what) { return plan.classPathPrint + " " + what + "\n"; }

CdsPlan cdsPlan(const CdsLaunch& given, CdsFacts& facts) {
  CdsPlan plan;
  plan.profile = quickProfile(given);
  // The archive is the one of the options the JVM is given in the end.
  CdsLaunch launch = given;
  launch.options.insert(launch.options.end(), plan.profile.begin(), plan.profile.end());
  if (!planTarget(launch, facts, plan)) return plan;

  // The archive is the one published for this class path, unchanged since.
  std::optional<CdsFileStamp> archive = facts.privateFile(plan.archive);
  if (archive && facts.smallFile(plan.stamp) == cdsStampText(*archive, plan.classPathPrint)) {
    plan.notes.push_back("using " + plan.archive);
    plan.mode = CdsMode::kUse;
    plan.front = {plan.kind == CdsKind::kAot ? kQuietAot : kQuietDynamic,
                  (plan.kind == CdsKind::kAot ? "-XX:AOTCache=" : "-XX:SharedArchiveFile=") + plan.archive};
    return plan;
  }
  // A printed command only names what exists: it records nothing.
  if (launch.printOnly) return plan;
  if (facts.exists(plan.archive)) {
    plan.notes.push_back(plan.archive + " changed since it was recorded, or its class path did");
    plan.removeStale = true;
  }
  // Until the class path changes, recording after a failure would only fail
  // again, at a cost on every launch.
  if (facts.smallFile(plan.failed) == cdsFailureMark(plan, "failed")) {
    plan.notes.push_back("recording " + plan.archive + " failed before: running without it");
    return plan;
  }
  const std::string* printing =
      plan.kind == CdsKind::kAot ? findOption(launch.options, OptionUse::kNoAotRecording) : nullptr;
  if (printing != nullptr) {
    plan.notes.push_back("not recording with the option " + *printing);
    return plan;
  }
  plan.mode = CdsMode::kRecord;
  return plan;
}

CdsRecording cdsRecordingOptions(const CdsPlan& plan, const std::vector<std::string>& options,
                                 const std::string& recording, const std::string& created) {
  if (plan.kind == CdsKind::kDynamic) {
    return {.front = {kQuietDynamic, "-XX:ArchiveClassesAtExit=" + recording}, .back = {}, .creation = {}};
  }
  // The recording JVM announces its configuration file on the terminal
  // through its own output, which only the last switch silences.
  CdsRecording result{
      .front = {kQuietAot, "-XX:AOTMode=record", "-XX:AOTConfiguration=" + recording},
      .back = {"-XX:+UnlockDiagnosticVMOptions", "-XX:-DisplayVMOutput"},
      .creation = {"-XX:AOTMode=create", "-XX:AOTConfiguration=" + recording, "-XX:AOTCache=" + created},
  };
  // The creation run takes the options the cache depends on.
  for (const std::string& option : options) {
    OptionUse use = useOf(option);
    if (use == OptionUse::kCreationToo || use == OptionUse::kNoAotRecording) result.creation.push_back(option);
  }
  return result;
}
