# Cross build for the board: 32-bit big-endian PowerPC, Linux, glibc.
#
# With Debian's cross compiler (g++-powerpc-linux-gnu), nothing to set:
#   cmake -S . -B build-ppc -DCMAKE_TOOLCHAIN_FILE=cmake/powerpc-linux-gnu.cmake
# With another toolchain (a Yocto or Buildroot SDK), name its triple and its
# target tree; the compilers are <triple>-gcc and <triple>-g++ on the path
# unless CMAKE_C_COMPILER / CMAKE_CXX_COMPILER say otherwise:
#   -DDVRPLAT_TARGET_TRIPLE=powerpc-poky-linux-gnuspe -DCMAKE_SYSROOT=/opt/sdk/sysroots/ppce500v2-poky-linux-gnuspe
# (DVRPLAT_SYSROOT is taken as CMAKE_SYSROOT; both may also come from the
# environment variables of the same names.) Target programs run under
# user-mode emulation (qemu-user) for the tests.
#
# The toolchain imposes no link mode: programs are linked dynamically, as
# on the board, unless a project asks otherwise.
set(CMAKE_SYSTEM_NAME Linux)

# This file is read again for every compiler check: the settings travel
# with it.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES DVRPLAT_TARGET_TRIPLE DVRPLAT_SYSROOT CMAKE_SYSROOT)

if(NOT DVRPLAT_TARGET_TRIPLE)
  if(DEFINED ENV{DVRPLAT_TARGET_TRIPLE} AND NOT "$ENV{DVRPLAT_TARGET_TRIPLE}" STREQUAL "")
    set(DVRPLAT_TARGET_TRIPLE "$ENV{DVRPLAT_TARGET_TRIPLE}")
  else()
    set(DVRPLAT_TARGET_TRIPLE powerpc-linux-gnu)
  endif()
endif()
set(DVRPLAT_TARGET_TRIPLE "${DVRPLAT_TARGET_TRIPLE}" CACHE STRING "Target triple (compiler prefix)")
if(NOT DVRPLAT_SYSROOT AND DEFINED ENV{DVRPLAT_SYSROOT})
  set(DVRPLAT_SYSROOT "$ENV{DVRPLAT_SYSROOT}")
endif()
if(DVRPLAT_SYSROOT AND NOT CMAKE_SYSROOT)
  set(CMAKE_SYSROOT "${DVRPLAT_SYSROOT}")
endif()
if(NOT CMAKE_SYSROOT AND DEFINED ENV{CMAKE_SYSROOT})
  set(CMAKE_SYSROOT "$ENV{CMAKE_SYSROOT}")
endif()

string(REGEX MATCH "^[^-]+" CMAKE_SYSTEM_PROCESSOR "${DVRPLAT_TARGET_TRIPLE}")

if(NOT CMAKE_C_COMPILER)
  set(CMAKE_C_COMPILER ${DVRPLAT_TARGET_TRIPLE}-gcc)
endif()
if(NOT CMAKE_CXX_COMPILER)
  set(CMAKE_CXX_COMPILER ${DVRPLAT_TARGET_TRIPLE}-g++)
endif()

# The target's tree: a real sysroot when one is given, else Debian's
# cross layout (/usr/<triple> and the multiarch directories).
if(CMAKE_SYSROOT)
  set(dvrplat_target_tree ${CMAKE_SYSROOT})
  set(CMAKE_FIND_ROOT_PATH ${CMAKE_SYSROOT})
  set(dvrplat_pc_dirs "${CMAKE_SYSROOT}/usr/lib/pkgconfig:${CMAKE_SYSROOT}/usr/share/pkgconfig:${CMAKE_SYSROOT}/usr/lib/${DVRPLAT_TARGET_TRIPLE}/pkgconfig")
  set(ENV{PKG_CONFIG_SYSROOT_DIR} "${CMAKE_SYSROOT}")
else()
  set(dvrplat_target_tree /usr/${DVRPLAT_TARGET_TRIPLE})
  set(CMAKE_FIND_ROOT_PATH ${dvrplat_target_tree} /usr/lib/${DVRPLAT_TARGET_TRIPLE})
  set(dvrplat_pc_dirs "/usr/lib/${DVRPLAT_TARGET_TRIPLE}/pkgconfig:${dvrplat_target_tree}/lib/pkgconfig:${dvrplat_target_tree}/share/pkgconfig")
  set(ENV{PKG_CONFIG_SYSTEM_INCLUDE_PATH} "${dvrplat_target_tree}/include")
  set(ENV{PKG_CONFIG_SYSTEM_LIBRARY_PATH} "${dvrplat_target_tree}/lib")
endif()

# Libraries, headers and packages come from the target's tree only;
# programs (pkg-config, the emulator) are the build machine's.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config must never answer with the build machine's .pc files (for
# example its libtirpc): only the target's own directories are searched.
set(ENV{PKG_CONFIG_LIBDIR} "${dvrplat_pc_dirs}")
set(ENV{PKG_CONFIG_PATH} "")

# ctest (and the test programs, for the target programs they start) run
# target executables through this emulator. -L lets a dynamically linked
# target program find its loader and libraries in the target's tree.
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "powerpc")
  set(dvrplat_qemu_names qemu-ppc qemu-ppc-static)
else()
  set(dvrplat_qemu_names qemu-${CMAKE_SYSTEM_PROCESSOR} qemu-${CMAKE_SYSTEM_PROCESSOR}-static)
endif()
find_program(DVRPLAT_QEMU NAMES ${dvrplat_qemu_names})
if(NOT DVRPLAT_QEMU)
  list(GET dvrplat_qemu_names 0 DVRPLAT_QEMU)
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR ${DVRPLAT_QEMU} -L ${dvrplat_target_tree})
