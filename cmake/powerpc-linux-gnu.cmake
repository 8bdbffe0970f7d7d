# Cross build for the board: 32-bit big-endian PowerPC, Linux, glibc.
# Uses Debian's cross compiler (g++-powerpc-linux-gnu) and runs the
# target programs under user-mode emulation (qemu-user):
#   cmake -S . -B build-ppc -DCMAKE_TOOLCHAIN_FILE=cmake/powerpc-linux-gnu.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR powerpc)

set(DVRPLAT_TARGET_TRIPLE powerpc-linux-gnu)
set(DVRPLAT_TARGET_SYSROOT /usr/${DVRPLAT_TARGET_TRIPLE})

set(CMAKE_C_COMPILER ${DVRPLAT_TARGET_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${DVRPLAT_TARGET_TRIPLE}-g++)

# Libraries, headers and packages come from the target's tree only;
# programs (pkg-config, the emulator) are the build machine's.
set(CMAKE_FIND_ROOT_PATH ${DVRPLAT_TARGET_SYSROOT} /usr/lib/${DVRPLAT_TARGET_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config must never answer with the build machine's .pc files (for
# example its libtirpc): only the target's own directories are searched.
set(ENV{PKG_CONFIG_LIBDIR}
    "/usr/lib/${DVRPLAT_TARGET_TRIPLE}/pkgconfig:${DVRPLAT_TARGET_SYSROOT}/lib/pkgconfig:${DVRPLAT_TARGET_SYSROOT}/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSTEM_INCLUDE_PATH} "${DVRPLAT_TARGET_SYSROOT}/include")
set(ENV{PKG_CONFIG_SYSTEM_LIBRARY_PATH} "${DVRPLAT_TARGET_SYSROOT}/lib")

# Programs are linked statically: the emulator then needs no target
# dynamic loader, and start-up under emulation is faster. The shared
# library is still built (and stays position independent).
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# ctest (and the test programs, for the target programs they start) run
# target executables through this emulator. -L lets a dynamically linked
# target program find its loader and libraries.
find_program(DVRPLAT_QEMU_PPC NAMES qemu-ppc qemu-ppc-static)
if(NOT DVRPLAT_QEMU_PPC)
  set(DVRPLAT_QEMU_PPC qemu-ppc)
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR ${DVRPLAT_QEMU_PPC} -L ${DVRPLAT_TARGET_SYSROOT})
