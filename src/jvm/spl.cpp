#include "jvm/spl.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <string>
#include <type_traits>

#include "host/hmd.h"
#include "util/utrace.h"

namespace {

constexpr const char* kLibraryName = "libsplashscreen.so";

// The library's entry points, the ones the java command drives it by.
struct SplashFunctions {
  void (*init)() = nullptr;
  int (*loadFile)(const char* file) = nullptr;
  void (*setFileJarName)(const char* file, const char* jar) = nullptr;
  void (*setScaleFactor)(float factor) = nullptr;
  int (*maxScaledSuffixLength)(const char* file) = nullptr;
  bool (*getScaledImageName)(const char* jar, const char* file, float* factor, char* scaled,
                             std::size_t size) = nullptr;
  void (*close)() = nullptr;
};

// False when the library lacks one of them: an older or foreign build.
bool resolve(void* library, SplashFunctions& fn) {
  auto find = [library](auto& function, const char* name) {
    function = reinterpret_cast<std::remove_reference_t<decltype(function)>>(dlsym(library, name));
    if (function == nullptr) ut_tproda("No splash screen: %s has no %s", kLibraryName, name);
    return function != nullptr;
  };
  return find(fn.init, "SplashInit") && find(fn.loadFile, "SplashLoadFile") &&
         find(fn.setFileJarName, "SplashSetFileJarName") && find(fn.setScaleFactor, "SplashSetScaleFactor") &&
         find(fn.maxScaledSuffixLength, "SplashGetScaledImgNameMaxPstfixLen") &&
         find(fn.getScaledImageName, "SplashGetScaledImageName") && find(fn.close, "SplashClose");
}

}  // namespace

SplashScreen splShow(const JavaChoice& java, const std::string& image) {
  // The library opens an X display; without one it would only fail later,
  // after loading the X libraries for nothing.
  const char* display = hmdGetEnvironmentValue("DISPLAY");
  if (display == nullptr || *display == '\0') {
    ut_tproda("No splash screen: no display");
    return {};
  }
  // The library sits beside the JVM's flavour directory: lib/ of a modular
  // runtime, jre/lib/<arch>/ of Java 8.
  std::string path = java.libraryDir.substr(0, java.libraryDir.rfind('/') + 1) + kLibraryName;
  struct stat info;
  if (stat(path.c_str(), &info) != 0) {
    ut_tproda("No splash screen: the runtime has no %s (a headless runtime)", path.c_str());
    return {};
  }
  // The JVM loads the same file by its own name later; the loader hands it
  // this copy, whose state holds the splash.
  void* library = dlopen(path.c_str(), RTLD_LAZY);
  if (library == nullptr) {
    ut_tproda("No splash screen: %s", dlerror());
    return {};
  }
  SplashFunctions fn;
  if (!resolve(library, fn)) {
    dlclose(library);
    return {};
  }
  fn.init();
  // A display scaled by 2 shows name@2x.png where there is one, at its
  // scale; any other scale, or without that file, the image as it is.
  std::string file = image;
  float factor = 1;
  std::string scaled(image.size() + fn.maxScaledSuffixLength(image.c_str()) + 1, '\0');
  if (fn.getScaledImageName(nullptr, image.c_str(), &factor, scaled.data(), scaled.size())) {
    file = scaled.c_str();
    fn.setScaleFactor(factor);
  }
  if (fn.loadFile(file.c_str()) == 0) {
    ut_tproda("No splash screen: %s cannot be shown", file.c_str());
    fn.close();
    dlclose(library);
    return {};
  }
  // The name java.awt.SplashScreen.getImageURL gives the application: the
  // one it was given, whichever scale is shown, made absolute here, as the
  // JVM may run in another directory (cd).
  char cwd[kPathMax];
  std::string named = image.starts_with('/') || getcwd(cwd, sizeof cwd) == nullptr ? image : cwd + ("/" + image);
  fn.setFileJarName(named.c_str(), nullptr);
  ut_tproda("Showing the splash screen %s", file.c_str());
  return {library, fn.close};
}

void splClose(SplashScreen& splash) {
  if (splash.library == nullptr) return;
  splash.close();
  dlclose(splash.library);
  splash = {};
}
