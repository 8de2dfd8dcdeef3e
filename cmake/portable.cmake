# The portable launcher and packer, the ones that installs, packages and
# archives ship: compiled with Debian 11's g++ 10 against its glibc 2.31,
# with the C++ runtime and libzip linked in, so that a single-file
# application runs on any x86-64 Linux with glibc 2.17 or later (CentOS 7,
# RHEL 8, Ubuntu 18.04, Debian 10 and newer) whatever C++ runtime it has. The
# compiler, headers and libraries are those of the root that
# `scripts/bullseye-root.sh ensure` makes once; without that root, installs
# and packages get the host build instead.
#
# The same for arm64 when the root has its arm64 part (`bullseye-root.sh
# ensure-arm64`: Debian 11's cross compiler and a static libzip built with
# it) and this machine has the arm64 binutils (binutils-aarch64-linux-gnu):
# a launcher and a packer for any arm64 Linux with glibc 2.17 or later.
#
# Sets LAUNCHER_PORTABLE_ENABLED and, when it is on, LAUNCHER_PORTABLE_LAUNCHER
# and LAUNCHER_PORTABLE_PACKER (the built files); and
# LAUNCHER_PORTABLE_ARM64_ENABLED and, when that is on,
# LAUNCHER_PORTABLE_ARM64_LAUNCHER and LAUNCHER_PORTABLE_ARM64_PACKER.

set(LAUNCHER_PORTABLE AUTO CACHE STRING
    "Build the portable launcher and packer: AUTO (when the Debian 11 build root exists), ON or OFF")
set_property(CACHE LAUNCHER_PORTABLE PROPERTY STRINGS AUTO ON OFF)
set(LAUNCHER_PORTABLE_ENABLED OFF)
set(LAUNCHER_PORTABLE_ARM64_ENABLED OFF)

if(NOT LAUNCHER_PORTABLE STREQUAL "OFF" AND LAUNCHER_PLATFORM STREQUAL "linux" AND NOT LAUNCHER_SANITIZE
   AND NOT LAUNCHER_FUZZ)
  execute_process(COMMAND sh ${PROJECT_SOURCE_DIR}/scripts/bullseye-root.sh check
    OUTPUT_VARIABLE root OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE no_root)
  set(why "no Debian 11 build root (scripts/bullseye-root.sh ensure makes it, as root)")
  if(NOT no_root)
    # The root's g++ runs from where it lies, with the root as its sysroot:
    # GCC finds its cc1plus, headers and libraries relative to itself, so
    # every header and library the build reads, glibc 2.31's included, is
    # the root's; only assembling and linking are left to this machine's
    # binutils (which any g++ here brings; the root's need libraries of
    # their own). That needs neither root nor a mount or user namespace,
    # so the build is the same on a workstation, in a chroot and in a
    # container, which refuse the mounts a chroot into the root would need
    # to reach the sources and the build. Search paths this machine's
    # environment sets are left out.
    set(tools ${CMAKE_BINARY_DIR}/portable-tools)
    foreach(compiler gcc g++)
      file(WRITE ${tools}/${compiler} "#!/bin/sh
unset LIBRARY_PATH CPATH C_INCLUDE_PATH CPLUS_INCLUDE_PATH COMPILER_PATH GCC_EXEC_PREFIX
exec '${root}/usr/bin/${compiler}' '--sysroot=${root}' \"$@\"
")
      file(CHMOD ${tools}/${compiler} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
           WORLD_READ WORLD_EXECUTE)
    endforeach()
    execute_process(COMMAND ${tools}/g++ -dumpversion OUTPUT_VARIABLE version
      OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_VARIABLE error RESULT_VARIABLE failed)
    if(failed)
      set(why "the compiler of ${root} does not run here: ${error}")
    else()
      set(LAUNCHER_PORTABLE_ENABLED ON)
    endif()
  endif()
  if(LAUNCHER_PORTABLE_ENABLED)
    execute_process(COMMAND sh ${PROJECT_SOURCE_DIR}/scripts/bullseye-root.sh check-arm64
      OUTPUT_QUIET ERROR_QUIET RESULT_VARIABLE no_arm64)
    find_program(LAUNCHER_ARM64_AS aarch64-linux-gnu-as)
    find_program(LAUNCHER_ARM64_LD aarch64-linux-gnu-ld)
    set(why_arm64 "the build root has no arm64 part (scripts/bullseye-root.sh ensure-arm64 adds it, as root)")
    # The packages name the host build's programs x86-64 beside arm64 ones.
    if(NOT CMAKE_HOST_SYSTEM_PROCESSOR STREQUAL "x86_64")
      set(no_arm64 ON)
      set(why_arm64 "the arm64 programs are built beside x86-64 ones, and this machine is ${CMAKE_HOST_SYSTEM_PROCESSOR}")
    elseif(NOT no_arm64 AND NOT (LAUNCHER_ARM64_AS AND LAUNCHER_ARM64_LD))
      set(why_arm64 "no arm64 assembler and linker here (binutils-aarch64-linux-gnu)")
    elseif(NOT no_arm64)
      # The root's cross compiler, run as its x86-64 one is, with the root as
      # its sysroot: Debian's cross layout (the target's headers and
      # libraries in usr/aarch64-linux-gnu, named from the root's /) then
      # reads as it does inside the root. The root's arm64 binutils need
      # libraries of their own, so the compiler is sent to this machine's
      # first (-B), through a directory holding them under their plain names.
      set(arm64_bin ${tools}/aarch64-linux-gnu)
      file(MAKE_DIRECTORY ${arm64_bin})
      file(CREATE_LINK ${LAUNCHER_ARM64_AS} ${arm64_bin}/as SYMBOLIC)
      file(CREATE_LINK ${LAUNCHER_ARM64_LD} ${arm64_bin}/ld SYMBOLIC)
      foreach(compiler gcc g++)
        file(WRITE ${tools}/aarch64-linux-gnu-${compiler} "#!/bin/sh
unset LIBRARY_PATH CPATH C_INCLUDE_PATH CPLUS_INCLUDE_PATH COMPILER_PATH GCC_EXEC_PREFIX
exec '${root}/usr/bin/aarch64-linux-gnu-${compiler}' '--sysroot=${root}' '-B${arm64_bin}/' \"$@\"
")
        file(CHMOD ${tools}/aarch64-linux-gnu-${compiler} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
             GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
      endforeach()
      execute_process(COMMAND ${tools}/aarch64-linux-gnu-g++ -dumpversion OUTPUT_VARIABLE arm64_version
        OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_VARIABLE error RESULT_VARIABLE failed)
      if(failed)
        set(why_arm64 "the arm64 compiler of ${root} does not run here: ${error}")
      else()
        set(LAUNCHER_PORTABLE_ARM64_ENABLED ON)
      endif()
    endif()
    message(STATUS "Portable launcher and packer: g++ ${version} of ${root}")
    if(LAUNCHER_PORTABLE_ARM64_ENABLED)
      message(STATUS "Portable arm64 launcher and packer: aarch64-linux-gnu-g++ ${arm64_version} of ${root}")
    else()
      message(STATUS "No portable arm64 launcher: ${why_arm64}")
    endif()
  elseif(LAUNCHER_PORTABLE STREQUAL "ON")
    message(FATAL_ERROR "LAUNCHER_PORTABLE is ON, but there is ${why}")
  else()
    message(STATUS "No portable launcher: ${why}; installs and packages get this build's")
  endif()
endif()

if(LAUNCHER_PORTABLE_ENABLED)
  include(ExternalProject)
  set(dir ${CMAKE_BINARY_DIR}/portable)
  set(LAUNCHER_PORTABLE_LAUNCHER ${dir}/src/jlauncher)
  set(LAUNCHER_PORTABLE_PACKER ${dir}/src/jlauncher-pack)
  # libzip and zlib as the root holds them, static.
  ExternalProject_Add(portable
    SOURCE_DIR ${PROJECT_SOURCE_DIR}
    BINARY_DIR ${dir}
    CMAKE_CACHE_ARGS
      -DCMAKE_C_COMPILER:FILEPATH=${tools}/gcc
      -DCMAKE_CXX_COMPILER:FILEPATH=${tools}/g++
      -DCMAKE_BUILD_TYPE:STRING=RelWithDebInfo
      "-DCMAKE_EXE_LINKER_FLAGS:STRING=-static-libstdc++ -static-libgcc -s"
      -DLIBZIP_LIBRARY:FILEPATH=${root}/usr/local/lib/libzip.a
      -DCMAKE_CXX_STANDARD_LIBRARIES:STRING=-l:libz.a
      -DLIBZIP_INCLUDE_DIR:PATH=${root}/usr/local/include
      -DLAUNCHER_TESTS:BOOL=OFF
      -DLAUNCHER_PORTABLE:STRING=OFF
    BUILD_COMMAND ${CMAKE_COMMAND} --build ${dir} --target jlauncher jlauncher-pack
    BUILD_ALWAYS ON
    BUILD_BYPRODUCTS ${LAUNCHER_PORTABLE_LAUNCHER} ${LAUNCHER_PORTABLE_PACKER}
    INSTALL_COMMAND "")
endif()

if(LAUNCHER_PORTABLE_ARM64_ENABLED)
  set(dir ${CMAKE_BINARY_DIR}/portable-arm64)
  set(arm64_local ${root}/usr/local/aarch64-linux-gnu)
  set(LAUNCHER_PORTABLE_ARM64_LAUNCHER ${dir}/src/jlauncher)
  set(LAUNCHER_PORTABLE_ARM64_PACKER ${dir}/src/jlauncher-pack)
  # A cross build, given the root's arm64 libzip and zlib, so that the
  # launcher extracts what applications carry and the packer is made.
  ExternalProject_Add(portable-arm64
    SOURCE_DIR ${PROJECT_SOURCE_DIR}
    BINARY_DIR ${dir}
    CMAKE_CACHE_ARGS
      -DCMAKE_SYSTEM_NAME:STRING=Linux
      -DCMAKE_SYSTEM_PROCESSOR:STRING=aarch64
      -DCMAKE_C_COMPILER:FILEPATH=${tools}/aarch64-linux-gnu-gcc
      -DCMAKE_CXX_COMPILER:FILEPATH=${tools}/aarch64-linux-gnu-g++
      -DCMAKE_BUILD_TYPE:STRING=RelWithDebInfo
      "-DCMAKE_EXE_LINKER_FLAGS:STRING=-static-libstdc++ -static-libgcc -s"
      "-DLIBZIP_LIBRARY:STRING=${arm64_local}/lib/libzip.a;${arm64_local}/lib/libz.a"
      -DLIBZIP_INCLUDE_DIR:PATH=${arm64_local}/include
      -DLAUNCHER_TESTS:BOOL=OFF
      -DLAUNCHER_PORTABLE:STRING=OFF
    BUILD_COMMAND ${CMAKE_COMMAND} --build ${dir} --target jlauncher jlauncher-pack
    BUILD_ALWAYS ON
    BUILD_BYPRODUCTS ${LAUNCHER_PORTABLE_ARM64_LAUNCHER} ${LAUNCHER_PORTABLE_ARM64_PACKER}
    INSTALL_COMMAND "")
endif()
