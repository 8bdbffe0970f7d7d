#!/bin/sh
# Builds the user's project in consumer/ against an installed tree with
# find_package, shared and static, and checks that a version the tree
# cannot satisfy is refused at configure time.
#   consumer.sh native BUILD_DIR WORK_DIR      the build's own install
#   consumer.sh board  BUILD_DIR WORK_DIR      the board archive from cpack,
#       unpacked, cross-built against and run under the emulator
set -eu
mode=$1 build=$2 work=$3
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../.." && pwd)
rm -rf "$work"
mkdir -p "$work"
cmake_args=""
emulator=""
cc=cc
if [ "$mode" = board ]; then
  # The staging archive exactly as a board developer gets it.
  (cd "$build" && cpack -G TGZ -B "$work/pkg" >/dev/null)
  archive=$(ls "$work"/pkg/dvrplat-*-Linux-powerpc.tar.gz)
  echo "archive: $(basename "$archive")"
  tar -xzf "$archive" -C "$work"
  prefix=$(ls -d "$work"/dvrplat-*-Linux-powerpc)
  for f in bin/camsel bin/devtest lib/libdvrplat.a lib/pkgconfig/dvrplat.pc lib/cmake/dvrplat/dvrplatConfig.cmake; do
    [ -e "$prefix/$f" ] || { echo "missing in the archive: $f"; exit 1; }
  done
  file "$prefix/lib/libdvrplat.a" "$prefix/bin/camsel" | grep -q "MSB.*PowerPC" || {
    file "$prefix/bin/camsel"; echo "the archive is not built for the board"; exit 1; }
  # The toolchain searches packages inside the target tree only: name the
  # package's directory.
  cmake_args="-DCMAKE_TOOLCHAIN_FILE=$src/cmake/powerpc-linux-gnu.cmake -Ddvrplat_DIR=$prefix/lib/cmake/dvrplat"
  emulator="qemu-ppc -L /usr/powerpc-linux-gnu"
  cc=powerpc-linux-gnu-gcc
else
  prefix=$work/prefix
  cmake --install "$build" --prefix "$prefix" >/dev/null
  cmake_args="-DCMAKE_PREFIX_PATH=$prefix"
fi
version=$(sed -n 's/^Version: //p' "$prefix/lib/pkgconfig/dvrplat.pc")
major=${version%%.*}

run() { # program: runs it (under the emulator for the board) and checks its greeting
  LD_LIBRARY_PATH="$prefix/lib" $emulator "$1" > "$1.out"
  grep -q "hello from C" "$1.out" || { cat "$1.out"; echo "$1: no greeting"; exit 1; }
}

# One version everywhere: the package files, the .pc file, the commands.
for cmd in camsel devtest; do
  got=$($emulator "$prefix/bin/$cmd" --version)
  [ "$got" = "$cmd $version" ] || { echo "$cmd --version says \"$got\", the package $version"; exit 1; }
done

for link in shared static; do
  # Shared programs are linked dynamically, also on the board (the
  # toolchain links statically by default).
  extra=""
  [ "$link" = shared ] && extra="-DCMAKE_EXE_LINKER_FLAGS="
  # shellcheck disable=SC2086
  cmake -S "$here/consumer" -B "$work/cmake-$link" $cmake_args $extra -DDVRPLAT_LINK=$link \
    -DDVRPLAT_WANT_VERSION="$major" >"$work/cmake-$link.log" 2>&1 || { cat "$work/cmake-$link.log"; exit 1; }
  cmake --build "$work/cmake-$link" >>"$work/cmake-$link.log" 2>&1 || { cat "$work/cmake-$link.log"; exit 1; }
  run "$work/cmake-$link/c_program"
  run "$work/cmake-$link/cxx_program"
  if [ "$link" = shared ]; then
    readelf -d "$work/cmake-$link/c_program" | grep -q "NEEDED.*libdvrplat.so.$major" || {
      echo "the shared program does not load libdvrplat.so.$major"; exit 1; }
  fi
done

# pkg-config for the board tree, shared and static (check.sh does the same
# for the native install).
if [ "$mode" = board ]; then
  export PKG_CONFIG_LIBDIR="$prefix/lib/pkgconfig" PKG_CONFIG_PATH=
  "$cc" -std=gnu99 -Wall -Wextra -Werror $(pkg-config --cflags dvrplat) -o "$work/pc_shared" \
    "$here/program.c" $(pkg-config --libs dvrplat)
  run "$work/pc_shared"
  "$cc" -std=gnu99 -Wall -Wextra -Werror -static $(pkg-config --cflags dvrplat) -o "$work/pc_static" \
    "$here/program.c" $(pkg-config --static --libs dvrplat)
  run "$work/pc_static"
fi

# A newer major version than the tree's is refused.
# shellcheck disable=SC2086
if cmake -S "$here/consumer" -B "$work/cmake-wrong" $cmake_args -DDVRPLAT_WANT_VERSION=$((major + 1)).0 \
     >"$work/cmake-wrong.log" 2>&1; then
  echo "find_package accepted version $((major + 1)).0 of a $version tree"; exit 1
fi
grep -q "not compatible\|version" "$work/cmake-wrong.log" || { cat "$work/cmake-wrong.log"; exit 1; }
echo "consumer ($mode): find_package and pkg-config, shared and static, built and ran against dvrplat $version"
