// The JVM options: what the launcher will hand to the JVM, in the JNI
// invocation form, with the Java home and the Java path.
//
// The option list lives in three stages:
//  1. Collected. The command line's JVM parameters and system properties are
//     appended (jopAddParam, jopAddProp); JDK_JAVA_OPTIONS' go before them
//     (jopPrependOptions); an option the configuration disables is taken out
//     again (jopRemoveOption). The configuration collects its own in cfg.
//  2. Finalized, once (jopFinalizeJVMOptions): the configuration's options,
//     then the command line's, then the class path and the properties that
//     tell the application how it was launched. Nothing is collected after.
//  3. Amended: the start-up cache's plan puts its options at the front and
//     at the end (jopAmendFinalOptions), and the driver appends the process
//     name and the exit hook just before creating the JVM (jopAddFinalOption).
//
// Every final option records its origin, so that a printed java command
// leaves out exactly what the launcher added for a launch through itself.
#pragma once

#include <jni.h>

#include <string>
#include <string_view>
#include <vector>

#include "util/utl.h"

/// Who put an option on the list, which decides what a printed java command
/// (+javacmd) does with it.
enum class JopOrigin {
  kUser,          ///< the configuration, the command line, the environment; printed
  kLauncher,      ///< the launcher's, for the JVM or the application; printed, a java command needs it too
  kLauncherOnly,  ///< only for a launch through the launcher (its bookkeeping properties, its own signal
                  ///< handling, the working directory its cd line sets, the exit hook); not printed
  kProgram,       ///< the program that launched the application; printed naming java instead
};

/// A growable array of JavaVMOption that owns its option strings (the JVM
/// reads them as C strings) and knows each option's origin.
class JvmOptionList {
 public:
  JvmOptionList() = default;
  JvmOptionList(const JvmOptionList&) = delete;
  JvmOptionList& operator=(const JvmOptionList&) = delete;
  JvmOptionList(JvmOptionList&& other) noexcept;
  JvmOptionList& operator=(JvmOptionList&& other) noexcept;
  ~JvmOptionList() { clear(); }

  /// Appends a copy of text with extraInfo stored unchanged.
  void add(std::string_view text, void* extraInfo, JopOrigin origin = JopOrigin::kUser);
  /// Inserts a copy of text at index (0..count), moving the later ones up.
  void insert(int index, std::string_view text, void* extraInfo, JopOrigin origin = JopOrigin::kUser);
  /// Removes the last option whose string is text; false when there is none.
  bool remove(std::string_view text);
  /// True when some option string begins with prefix.
  bool hasPrefix(std::string_view prefix) const;
  /// Frees every option string and the array; count and capacity become 0.
  void clear();

  JavaVMOption* data() { return options_; }
  const JavaVMOption* data() const { return options_; }
  int count() const { return count_; }
  JopOrigin origin(int index) const { return origins_[static_cast<std::size_t>(index)]; }

 private:
  JavaVMOption* options_ = nullptr;
  int count_ = 0;
  int capacity_ = 0;
  std::vector<JopOrigin> origins_;  ///< one per option
};

/// Empties both lists, the Java home and path, and the finalization state;
/// takes the safety net (hmdIsSafetyNetOn) as it is now for the class path
/// check of this launch.
void jopInit();
/// Releases everything jopInit set up.
void jopTerm();

/// Appends a JVM parameter.
void jopAddParam(std::string_view option, void* extraInfo);
/// Appends a command-line system property option ("-Dname=value").
void jopAddProp(std::string_view option, void* extraInfo);
/// Puts options, in their order, before every option of the command line:
/// -D ones before the properties, the others before the parameters.
void jopPrependOptions(const std::vector<std::string>& options);
/// Removes the last property, else the last parameter, that is option.
void jopRemoveOption(std::string_view option);
/// True when some parameter (property) begins with name.
bool jopIsParamSet(std::string_view name);
bool jopIsPropSet(std::string_view name);
/// Appends count options of an array to the parameters, copying them.
void jopMergeJVMOptions(const JavaVMOption* options, int count);
/// Appends the property "-D<key>=" listing the given options separated by
/// newlines, the launcher's own record of what it was given; nothing when
/// count is 0 or less.
void jopConsolidateParams(std::string_view key, const JavaVMOption* options, int count);

/// The final option list and its length: null and 0 before finalization.
JavaVMOption* jopGetJavaVMOptions();
int jopGetJavaVMOptionsCount();
/// The origin of the final option at index (below the count).
JopOrigin jopGetFinalOptionOrigin(int index);
/// Builds the final option list; does nothing once finalized. False after
/// a reported refusal of the class path (jopFinalizeClassPath), which ends
/// the launch.
bool jopFinalizeJVMOptions();
/// Puts front, in its order, at the front of the final option list, so that
/// every configured option overrides them, and appends back.
void jopAmendFinalOptions(const std::vector<std::string>& front, const std::vector<std::string>& back);
/// Appends one option to the final option list.
void jopAddFinalOption(std::string_view option, JopOrigin origin, void* extraInfo = nullptr);
/// Appends the class path options (called by jopFinalizeJVMOptions). False,
/// reported, when an element is Sun's J2EE Reference Implementation
/// (j2ee.jar) while the safety net is on and allowri off.
bool jopFinalizeClassPath();

/// The class path of a set-ID launch that has none: a file no one but root
/// can change, which holds no classes.
inline constexpr const char* kNoClassPath = "/dev/null";

/// The first final option that makes the JVM load classes, libraries or an
/// agent from a path relative to the working directory (the class paths,
/// java.library.path, -agentpath:, -javaagent:), or null.
const char* jopFindRelativePath();

/// The JVM installation directory chosen so far, or null.
void jopSetJavaHome(std::string_view directory);
const char* jopGetJavaHome();
/// A JVM shared library to load instead of searching for one, or null.
void jopSetJavaPath(std::string_view path);
const char* jopGetJavaPath();

/// How the command-line class path is placed against the configured one.
enum ClassPathLocation { kClassPathUnset = 0, kClassPathPrepend = 1, kClassPathAppend = 2, kClassPathReplace = 3 };

/// The "+classpath" family's handler: the placement from what follows
/// "+classpath" in arg ("", "/a", "/p", "/r"; anything else keeps the earlier
/// placement), the path list from path. A later option replaces both.
void jopSetCmdLineClassPath(const char* arg, const char* path);
/// The command-line class path (empty when none was given).
const PathArray& jopGetCmdLineClassPath();
int jopGetClassPathLocation();
