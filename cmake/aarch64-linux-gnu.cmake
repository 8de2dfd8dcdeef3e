# Cross-compiles for 64-bit ARM (arm64, aarch64) with Debian's cross tools
# (g++-aarch64-linux-gnu, libc6-dev-arm64-cross). The test programs run
# under qemu-user with the cross sysroot as their root for libraries.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

set(LAUNCHER_CROSS_SYSROOT /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH ${LAUNCHER_CROSS_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

if(CMAKE_HOST_SYSTEM_PROCESSOR STREQUAL "aarch64")
  # An arm64 machine runs the programs itself.
else()
  set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L ${LAUNCHER_CROSS_SYSROOT})
endif()
