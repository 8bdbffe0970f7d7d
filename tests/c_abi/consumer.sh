#!/bin/sh
# Builds a user's programs against an installed tree in every way a user
# links it: a C-only and a C++-only project, the shared and the static
# library, through find_package and through pkg-config; runs each, and
# checks that a version the tree cannot satisfy is refused at configure
# time.
#   consumer.sh native BUILD_DIR WORK_DIR      the build's own install
#   consumer.sh board  BUILD_DIR WORK_DIR      the board archive from cpack,
#       unpacked, cross-built against with the archive's own toolchain file
#       and run under the emulator against the archive's own shared library
set -eu
mode=$1 build=$2 work=$3
here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$work"
mkdir -p "$work"
cmake_args=""
emulator=""
cc=cc cxx=c++
if [ "$mode" = board ]; then
  # The archive exactly as a board developer gets it.
  (cd "$build" && cpack -G TGZ -B "$work/pkg" >/dev/null)
  archive=$(ls "$work"/pkg/dvrplat-*-Linux-powerpc.tar.gz)
  echo "archive: $(basename "$archive") ($(wc -c <"$archive") bytes)"
  tar -xzf "$archive" -C "$work"
  prefix=$(ls -d "$work"/dvrplat-*-Linux-powerpc)
  for f in bin/camsel bin/devtest lib/libdvrplat.a lib/libdvrplat.so.1 lib/pkgconfig/dvrplat.pc \
           include/dvrplat/dvrplat_version.h lib/cmake/dvrplat/dvrplatConfig.cmake \
           lib/cmake/dvrplat/powerpc-linux-gnu.cmake \
           lib/debug/bin/camsel.debug lib/debug/bin/devtest.debug; do
    [ -e "$prefix/$f" ] || { echo "missing in the archive: $f"; exit 1; }
  done
  # The PC-side viewer is not the board's.
  [ ! -e "$prefix/bin/fpgasim" ] || { echo "fpgasim is in the board archive"; exit 1; }
  # Release programs: the board's, stripped, loading the shared library.
  for f in bin/camsel bin/devtest lib/libdvrplat.so.1; do
    info=$(file -L "$prefix/$f")
    case "$info" in
      *MSB*PowerPC*", stripped"*) ;;
      *) echo "$info"; echo "$f: not a stripped board binary"; exit 1 ;;
    esac
  done
  for f in bin/camsel bin/devtest; do
    readelf -d "$prefix/$f" | grep -q "NEEDED.*libdvrplat.so.1" || {
      echo "$f does not load libdvrplat.so.1"; exit 1; }
  done
  # The debug files belong to the stripped programs.
  readelf --debug-dump=info "$prefix/lib/debug/bin/camsel.debug" 2>/dev/null | grep -q "camsel.cpp" || {
    echo "lib/debug/bin/camsel.debug holds no debug information of camsel"; exit 1; }
  readelf -p .gnu_debuglink "$prefix/bin/camsel" | grep -q "camsel.debug" || {
    echo "bin/camsel has no debug link"; exit 1; }
  cmake_args="-DCMAKE_TOOLCHAIN_FILE=$prefix/lib/cmake/dvrplat/powerpc-linux-gnu.cmake -Ddvrplat_DIR=$prefix/lib/cmake/dvrplat"
  emulator="qemu-ppc -L /usr/powerpc-linux-gnu"
  cc=powerpc-linux-gnu-gcc cxx=powerpc-linux-gnu-g++
  # The target's own .pc files (libtirpc) beside the archive's.
  pc_libdir=/usr/lib/powerpc-linux-gnu/pkgconfig:/usr/powerpc-linux-gnu/lib/pkgconfig
else
  prefix=$work/prefix
  cmake --install "$build" --prefix "$prefix" >/dev/null
  cmake_args="-DCMAKE_PREFIX_PATH=$prefix"
  pc_libdir=$(pkg-config --variable pc_path pkg-config)
fi
version=$(sed -n 's/^Version: //p' "$prefix/lib/pkgconfig/dvrplat.pc")
major=${version%%.*}

# One version everywhere: the package files, the .pc file, the commands,
# which run from the tree as installed (no library path given: they find
# the tree's shared library themselves).
for cmd in camsel devtest; do
  got=$($emulator "$prefix/bin/$cmd" --version)
  [ "$got" = "$cmd $version" ] || { echo "$cmd --version says \"$got\", the package $version"; exit 1; }
done

check() { # program language link: runs it (under the emulator for the board), checks its greeting and how it links
  prog=$1 lang=$2 link=$3
  LD_LIBRARY_PATH="$prefix/lib" $emulator "$prog" >"$prog.out"
  if [ "$lang" = C ]; then greeting="c99,7:main(): hello from C 42"; else greeting="c++,18:main(): hello from C++ Ym9hcmQ="; fi
  grep -qx "$greeting" "$prog.out" || { cat "$prog.out"; echo "$prog: no greeting"; exit 1; }
  if [ "$link" = shared ]; then
    readelf -d "$prog" | grep -q "NEEDED.*libdvrplat.so.$major" || {
      echo "$prog does not load libdvrplat.so.$major"; exit 1; }
  else
    ! readelf -d "$prog" | grep -q "NEEDED.*libdvrplat" || { echo "$prog loads libdvrplat"; exit 1; }
  fi
  combos="$combos
  $(basename "$(dirname "$prog")")/$(basename "$prog")"
}

combos=""
for lang in C CXX; do
  for link in shared static; do
    # find_package, in a project of that one language.
    dir="$work/cmake-$lang-$link"
    # shellcheck disable=SC2086
    cmake -S "$here/consumer" -B "$dir" $cmake_args -DDVRPLAT_LANG=$lang -DDVRPLAT_LINK=$link \
      -DDVRPLAT_WANT_VERSION="$major" >"$dir.log" 2>&1 || { cat "$dir.log"; exit 1; }
    cmake --build "$dir" >>"$dir.log" 2>&1 || { cat "$dir.log"; exit 1; }
    check "$dir/program" $lang $link

    # pkg-config: shared as the .pc file says; static the whole program.
    pc="$work/pc-$lang-$link"
    mkdir -p "$pc"
    static=""; pcstatic=""
    [ "$link" = static ] && { static="-static"; pcstatic="--static"; }
    if [ "$lang" = C ]; then
      compile="$cc -std=gnu99 $here/program.c"
    else
      compile="$cxx -std=c++17 $here/consumer/program.cpp"
    fi
    # shellcheck disable=SC2086
    PKG_CONFIG_LIBDIR="$pc_libdir" PKG_CONFIG_PATH="$prefix/lib/pkgconfig" PKG_CONFIG_SYSROOT_DIR= \
      sh -c "$compile -Wall -Wextra -Werror $static \$(pkg-config --cflags dvrplat) -o $pc/program \
             \$(pkg-config $pcstatic --libs dvrplat)" >"$pc.log" 2>&1 || { cat "$pc.log"; exit 1; }
    check "$pc/program" $lang $link
  done
done

# A newer major version than the tree's is refused, and so is a component
# the package does not have.
# shellcheck disable=SC2086
if cmake -S "$here/consumer" -B "$work/cmake-wrong" $cmake_args -DDVRPLAT_WANT_VERSION=$((major + 1)).0 \
     >"$work/cmake-wrong.log" 2>&1; then
  echo "find_package accepted version $((major + 1)).0 of a $version tree"; exit 1
fi
grep -q "not compatible\|version" "$work/cmake-wrong.log" || { cat "$work/cmake-wrong.log"; exit 1; }
# shellcheck disable=SC2086
if cmake -S "$here/consumer" -B "$work/cmake-nocomp" $cmake_args -DDVRPLAT_LINK=frobnicated \
     >"$work/cmake-nocomp.log" 2>&1; then
  echo "find_package accepted the component \"frobnicated\""; exit 1
fi
echo "consumer ($mode): built and ran against dvrplat $version:$combos"
