#include "jvm/jmd.h"

#include <dlfcn.h>

#include <cstdlib>

#include "host/platform.h"
#include "jvmoptions/jop.h"
#include "util/utl.h"
#include "util/utrace.h"

namespace {
constexpr const char* kLoadErrorMsg = "Error loading Java VM library: %s [%s]\n";
constexpr const char* kNoJniInterfacesMsg = "Can't find JNI interfaces in: %s [%s]\n";
}  // namespace

const char* getJVMSharedLib() { return "libjvm.so"; }

bool jmdLoadJavaVM(InvocationFunctions* ifn) {
  const char* library = jopGetJavaPath() ? jopGetJavaPath() : getJVMSharedLib();
  int mode = std::getenv("LD_BIND_NOW") ? RTLD_NOW : RTLD_LAZY;
  if constexpr (kSolaris) mode |= RTLD_GLOBAL;

  void* handle = dlopen(library, mode);
  if (handle == nullptr) {
    utlReport(kLoadErrorMsg, getJVMSharedLib(), dlerror());
    return false;
  }
  // The handle is deliberately never closed: the JVM stays loaded for the
  // life of the process.
  ifn->CreateJavaVM = reinterpret_cast<CreateJavaVM_t>(dlsym(handle, "JNI_CreateJavaVM"));
  ifn->GetDefaultJavaVMInitArgs =
      reinterpret_cast<GetDefaultJavaVMInitArgs_t>(dlsym(handle, "JNI_GetDefaultJavaVMInitArgs"));
  ifn->DumpAllStacks = reinterpret_cast<DumpAllStacks_t>(dlsym(handle, "JVM_DumpAllStacks"));
  if (ifn->CreateJavaVM == nullptr || ifn->GetDefaultJavaVMInitArgs == nullptr) {
    const char* error = dlerror();
    utlReport(kNoJniInterfacesMsg, getJVMSharedLib(), error ? error : "");
    return false;
  }
  ut_tproda("Loaded Java VM Library %s from LD_LIBRARY_PATH", getJVMSharedLib());
  return true;
}
