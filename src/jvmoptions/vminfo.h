// The classification of a Java installation, and the one the launch chose:
// the facts the JVM option list, the loader's environment and the JVM's
// loading are decided by.
#pragma once

#include <string>

/// JVM flavours.
enum JvmSubType { kSubTypeDefault = 1, kSubTypeClassic = 2, kSubTypeHotspot = 3, kSubTypeClient = 4, kSubTypeServer = 5 };
/// Where the JVM library lies: under the home's lib (JRE) or jre/lib (JDK).
enum JvmType { kJvmTypeJre = 1, kJvmTypeJdk = 2 };
/// Installation layouts: Java 2 v1.3 (jvm.cfg in lib), v1.4 (jvm.cfg in the
/// architecture directory), and the modular runtime of Java 9 and later
/// (lib/modules, lib/jvm.cfg, lib/<flavour>/libjvm.so).
enum JvmLayout { kLayout13 = 1, kLayout14 = 2, kLayoutModular = 3 };
enum JvmVendor { kVendorSun = 1, kVendorIbm = 2 };

struct VMInfo {
  int jvmSubType = kSubTypeDefault;
  int jvmType = kJvmTypeJre;
  int jvmVersion = kLayout13;
  int jvmVendor = kVendorSun;
};

/// The Java the launch runs, chosen once (jevChooseJava) and read by every
/// stage after it, never checked again.
struct JavaChoice {
  std::string home;        ///< the Java home that passed the checks
  VMInfo info;             ///< its kind and layout, and the flavour in use
  std::string libraryDir;  ///< the directory of its JVM library
  std::string library;     ///< the JVM library's full path
  bool modular() const { return info.jvmVersion == kLayoutModular; }
};
