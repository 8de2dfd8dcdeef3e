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

# Debian 12 has no arm64 libzip to build against here; the Debian 11 build
# root's arm64 part has a static one and its zlib (scripts/bullseye-root.sh
# ensure-arm64). With them the launcher extracts what single-file
# applications carry and jlauncher-pack is made; without them the profile
# builds as the other cross profiles do.
if(NOT DEFINED LIBZIP_LIBRARY)
  execute_process(COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/../scripts/bullseye-root.sh check-arm64
    OUTPUT_VARIABLE root OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE no_root)
  if(NOT no_root)
    set(LIBZIP_LIBRARY ${root}/usr/local/aarch64-linux-gnu/lib/libzip.a ${root}/usr/local/aarch64-linux-gnu/lib/libz.a)
    set(LIBZIP_INCLUDE_DIR ${root}/usr/local/aarch64-linux-gnu/include)
  endif()
endif()
