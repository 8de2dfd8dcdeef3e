# Cross-compiles for 32-bit x86 with Debian's cross tools (g++-i686-linux-gnu,
# libc6-dev-i386-cross).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(CMAKE_C_COMPILER i686-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER i686-linux-gnu-g++)

set(LAUNCHER_CROSS_SYSROOT /usr/i686-linux-gnu)
set(CMAKE_FIND_ROOT_PATH ${LAUNCHER_CROSS_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

if(CMAKE_HOST_SYSTEM_PROCESSOR STREQUAL "x86_64")
  # An x86-64 kernel runs 32-bit x86 programs itself, on the real CPU: the
  # programs name the cross sysroot's loader and libraries, so the host needs
  # no 32-bit libraries, and a launcher started by a test, or re-executing
  # itself, runs as it would on a 32-bit system. (qemu-i386 7.2 reports the
  # memory modulo 4 GiB to 32-bit programs and hangs the forked children of
  # death tests.) The search path is an old-style RPATH, which the loader
  # also applies to the libraries' own dependencies (libstdc++'s libm), not
  # a RUNPATH, which the host's 32-bit libraries would otherwise answer.
  set(LAUNCHER_CROSS_RPATH "-Wl,--disable-new-dtags,-rpath,${LAUNCHER_CROSS_SYSROOT}/lib")
  set(CMAKE_EXE_LINKER_FLAGS_INIT
      "-Wl,--dynamic-linker=${LAUNCHER_CROSS_SYSROOT}/lib/ld-linux.so.2 ${LAUNCHER_CROSS_RPATH}")
  set(CMAKE_SHARED_LINKER_FLAGS_INIT "${LAUNCHER_CROSS_RPATH}")
else()
  set(CMAKE_CROSSCOMPILING_EMULATOR qemu-i386 -L ${LAUNCHER_CROSS_SYSROOT})
endif()
