# Cross-compiles for big-endian 64-bit SPARC with Debian's cross tools
# (g++-sparc64-linux-gnu, libc6-dev-sparc64-cross). The test programs run
# under qemu-user with the cross sysroot as their root for libraries.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR sparc64)

set(CMAKE_C_COMPILER sparc64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER sparc64-linux-gnu-g++)

set(LAUNCHER_CROSS_SYSROOT /usr/sparc64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH ${LAUNCHER_CROSS_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-sparc64 -L ${LAUNCHER_CROSS_SYSROOT})
