// Constants that differ between the platform profiles. Modules choose with
// `if constexpr` on these; this header is the only place that looks at the
// build's profile.
#pragma once

namespace platform_detail {
#if defined(LAUNCHER_PLATFORM_SOLARIS)
inline constexpr bool kSolarisBuild = true;
#else
inline constexpr bool kSolarisBuild = false;
#endif

// The Java name of the CPU the launcher is built for, as used for the
// architecture directory inside old Java layouts.
#if defined(__x86_64__)
inline constexpr const char* kLinuxArchDir = "amd64";
#elif defined(__i386__)
inline constexpr const char* kLinuxArchDir = "i386";
#elif defined(__aarch64__)
inline constexpr const char* kLinuxArchDir = "aarch64";
#elif defined(__sparc__) && defined(__arch64__)
inline constexpr const char* kLinuxArchDir = "sparcv9";
#elif defined(__sparc__)
inline constexpr const char* kLinuxArchDir = "sparc";
#else
#error "Unknown CPU: add its Java architecture directory name here"
#endif
}  // namespace platform_detail

/// True in the solaris profile.
inline constexpr bool kSolaris = platform_detail::kSolarisBuild;

/// The platform's PATH_MAX: the longest path the launcher's path buffers hold,
/// terminator included.
inline constexpr int kPathMax = kSolaris ? 1024 : 4096;

/// The architecture directory of old Java layouts (jre/lib/<dir>/...).
inline constexpr const char* kArchDir = kSolaris ? "sparc" : platform_detail::kLinuxArchDir;
