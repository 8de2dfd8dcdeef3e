// platform: constants that differ between the platform profiles. Modules choose
// with `if constexpr` on these; this header is the only place that looks at the
// build's profile.
#pragma once

namespace platform_detail {
#if defined(LAUNCHER_PLATFORM_SOLARIS)
inline constexpr bool kSolarisBuild = true;
#else
inline constexpr bool kSolarisBuild = false;
#endif

// The Java name of the CPU the launcher is built for, as used for the
// architecture directory inside old Java layouts, and the ELF machine numbers
// (e_machine) of the libraries its processes load.
#if defined(__x86_64__)
inline constexpr const char* kLinuxArchDir = "amd64";
inline constexpr unsigned kElfMachines[] = {62};  // EM_X86_64
#elif defined(__i386__)
inline constexpr const char* kLinuxArchDir = "i386";
inline constexpr unsigned kElfMachines[] = {3};  // EM_386
#elif defined(__aarch64__)
inline constexpr const char* kLinuxArchDir = "aarch64";
inline constexpr unsigned kElfMachines[] = {183};  // EM_AARCH64
#elif defined(__sparc__) && defined(__arch64__)
inline constexpr const char* kLinuxArchDir = "sparcv9";
inline constexpr unsigned kElfMachines[] = {43};  // EM_SPARCV9
#elif defined(__sparc__)
inline constexpr const char* kLinuxArchDir = "sparc";
inline constexpr unsigned kElfMachines[] = {2, 18};  // EM_SPARC, EM_SPARC32PLUS
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

/// The ELF identity of the code the launcher is built as, whatever the
/// profile: a JVM library loads into its process only when the library's
/// header has the same class (ELFCLASS32 = 1, ELFCLASS64 = 2), the same byte
/// order (ELFDATA2LSB = 1, ELFDATA2MSB = 2) and one of these machines.
inline constexpr unsigned kElfClass = sizeof(void*) == 8 ? 2 : 1;
inline constexpr unsigned kElfData = __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__ ? 2 : 1;
inline constexpr const auto& kElfMachines = platform_detail::kElfMachines;
