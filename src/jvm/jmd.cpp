#include "jvm/jmd.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>

#include "host/hmd.h"
#include "util/platform.h"
#include "jvmoptions/jop.h"
#include "util/utl.h"
#include "util/utrace.h"

namespace {

constexpr const char* kLoadErrorMsg = "Error loading Java VM library: %s [%s]\n";
constexpr const char* kNoJniInterfacesMsg = "Can't find JNI interfaces in: %s [%s]\n";

// The directory of the library's flavour. IBM's Linux JVMs have only the
// classic one; the Solaris JVMs have no classic directory.
const char* flavourDirectory(const VMInfo& info) {
  if (!kSolaris && info.jvmVendor == kVendorIbm) return "classic/";
  switch (info.jvmSubType) {
    case kSubTypeClassic:
      return kSolaris ? "client/" : "classic/";
    case kSubTypeServer:
      return "server/";
    default:
      return "client/";
  }
}

bool isIbmLayout(const VMInfo& info) { return !kSolaris && info.jvmVendor == kVendorIbm; }

}  // namespace

const char* getJVMSharedLib() { return "libjvm.so"; }

std::string jmdGetJVMSharedLib(const std::string& home, const VMInfo& info) {
  std::string flavour = flavourDirectory(info);
  std::string library = flavour + getJVMSharedLib();
  if (info.jvmVersion == kLayoutModular) return home + "/lib/" + library;
  std::string arch = kArchDir;
  switch (info.jvmType) {
    case kJvmTypeJre:
      return isIbmLayout(info) ? home + "/bin/" + library : home + "/lib/" + arch + "/" + library;
    case kJvmTypeJdk:
      return isIbmLayout(info) ? home + "/jre/bin/" + library : home + "/jre/lib/" + arch + "/" + library;
    default:
      return {};
  }
}

std::optional<std::string> jmdGetJVMConfigFile(const std::string& home, const VMInfo& info) {
  if (isIbmLayout(info)) return std::nullopt;
  if (info.jvmVersion == kLayoutModular) return home + "/lib/jvm.cfg";
  std::string archDir = info.jvmVersion == kLayout14 ? std::string("/") + kArchDir : "";
  return home + (info.jvmType == kJvmTypeJdk ? "/jre/lib" : "/lib") + archDir + "/jvm.cfg";
}

bool jmdIsForeignLibrary(const std::string& path) {
  // e_ident (16 bytes), e_type and e_machine lie at the same offsets in both
  // ELF classes. The file is opened without blocking and read only when it is
  // a regular file: a Java home found on PATH is anyone's.
  unsigned char header[20];
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  bool whole = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
               read(fd, header, sizeof header) == static_cast<ssize_t>(sizeof header);
  close(fd);
  if (!whole || header[0] != 0x7f || header[1] != 'E' || header[2] != 'L' || header[3] != 'F') return false;
  const unsigned elfClass = header[4];
  const unsigned data = header[5];
  // e_machine is in the file's own byte order.
  const unsigned machine = data == 2 ? (header[18] << 8 | header[19]) : (header[18] | header[19] << 8);
  return elfClass != kElfClass || data != kElfData ||
         std::find(std::begin(kElfMachines), std::end(kElfMachines), machine) == std::end(kElfMachines);
}

bool jmdIsThisJVMInstalled(VMInfo& /*info*/, std::string& /*home*/, int /*size*/) { return false; }

bool jmdLoadJavaVM(const JavaChoice& java, InvocationFunctions* ifn) {
  std::string library = jopGetJavaPath() ? jopGetJavaPath() : getJVMSharedLib();
  // A modular runtime's library is opened by its full path: its directory is
  // not put into LD_LIBRARY_PATH.
  std::string modularDir;
  if (jopGetJavaPath() == nullptr && java.modular()) {
    modularDir = java.libraryDir;
    library = java.library;
  }
  int mode = hmdGetEnvironmentValue("LD_BIND_NOW") ? RTLD_NOW : RTLD_LAZY;
  if constexpr (kSolaris) mode |= RTLD_GLOBAL;

  void* handle = dlopen(library.c_str(), mode);
  if (handle == nullptr) {
    utlReport(kLoadErrorMsg, getJVMSharedLib(), dlerror());
    return false;
  }
  // The handle is deliberately never closed: the JVM stays loaded for the
  // life of the process.
  // The loader's message of the first failing lookup is copied at once: the
  // next lookup frees it.
  dlerror();
  std::string error;
  auto lookUp = [&](const char* name) {
    void* symbol = dlsym(handle, name);
    const char* message = symbol ? nullptr : dlerror();
    if (message != nullptr && error.empty()) error = message;
    return symbol;
  };
  ifn->CreateJavaVM = reinterpret_cast<CreateJavaVM_t>(lookUp("JNI_CreateJavaVM"));
  ifn->GetDefaultJavaVMInitArgs = reinterpret_cast<GetDefaultJavaVMInitArgs_t>(lookUp("JNI_GetDefaultJavaVMInitArgs"));
  if (ifn->CreateJavaVM == nullptr || ifn->GetDefaultJavaVMInitArgs == nullptr) {
    utlReport(kNoJniInterfacesMsg, getJVMSharedLib(), error.c_str());
    return false;
  }
  ifn->DumpAllStacks = reinterpret_cast<DumpAllStacks_t>(dlsym(handle, "JVM_DumpAllStacks"));
  if (modularDir.empty()) {
    ut_tproda("Loaded Java VM Library %s from LD_LIBRARY_PATH", getJVMSharedLib());
  } else {
    ut_tproda("Loaded Java VM Library %s from %s", getJVMSharedLib(), modularDir.c_str());
  }
  return true;
}

// Each directory goes in front unless it is already there, so a first run
// ends with [JDK lib dir] : [threads dir] : library dir : its parent : what
// was there before. A modular runtime needs none of them: its library is
// loaded by full path, and the runtime's other libraries find it by soname
// and their own $ORIGIN run path.
void jmdSetJavaEnvironment(const JavaChoice& java, LoaderEnvironment& loader) {
  loader.library = java.library;
  if (!kSolaris) {
    const char* preemptClose = hmdGetEnvironmentValue("J2SE_PREEMPTCLOSE");
    if (preemptClose != nullptr && std::string_view(preemptClose) == "1") {
      loader.preloadFront.emplace_back("libpreemptive_close.so");
    }
  }
  if (java.modular()) return;
  const std::string& libraryDir = java.libraryDir;
  std::string parent = libraryDir.substr(0, libraryDir.rfind('/'));
  loader.libraryPathFront.push_back(parent);
  loader.libraryPathFront.push_back(libraryDir);
  std::string archSuffix;
  if (kSolaris || java.info.jvmVendor == kVendorSun) {
    archSuffix = parent.substr(parent.rfind('/') + (kSolaris ? 1 : 0));
    loader.libraryPathFront.push_back(parent + "/native_threads");
  }
  if (java.info.jvmType == kJvmTypeJdk) {
    loader.libraryPathFront.push_back(java.home + "/lib" + (kSolaris ? "/" : "") + archSuffix);
  }
}
