// spl = splash screen: the image the chosen Java runtime shows while its JVM
// starts, as the java command shows it for -splash:. The runtime's own
// splash library draws it; the application's java.awt.SplashScreen loads
// that same library later and so finds the splash up, and can change or
// close it.
#pragma once

#include <string>

#include "jvmoptions/vminfo.h"

/// A splash screen on the display: the library showing it and its close
/// function. Empty when nothing is shown.
struct SplashScreen {
  void* library = nullptr;
  void (*close)() = nullptr;
};

/// Shows image with the splash library of java (libsplashscreen.so in the
/// directory above its JVM library's), the image scaled for the display
/// when an image of that scale lies beside it (name@2x.png). Says nothing
/// when it cannot (no display, a runtime without the library, an image it
/// cannot read or that does not exist), and traces why: the application
/// then runs without a splash, as under java.
SplashScreen splShow(const JavaChoice& java, const std::string& image);
/// Closes the splash screen unless the application did, and unloads the
/// library. Only once the JVM is gone: its AWT may still use the splash.
void splClose(SplashScreen& splash);
