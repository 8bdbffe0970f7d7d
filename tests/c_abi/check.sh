#!/bin/sh
# usage: check.sh BUILD_DIR PREFIX PROGRAM.c CC [FILE...]
# FILEs: more paths (under PREFIX) the install must have made.
set -eu
build=$1 prefix=$2 prog=$3 cc=$4
shift 4
rm -rf "$prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null
for f in lib/libdvrplat.so lib/libdvrplat.a include/dvrplat/fpga.h include/dvrplat/COMMON.h \
         include/dvrplat/DEV.h include/dvrplat/DNS.h include/dvrplat/dvrplat_version.h lib/pkgconfig/dvrplat.pc bin/camsel \
         share/man/man1/camsel.1 share/man/man1/devtest.1 share/man/man1/fpgasim.1 "$@"; do
  [ -e "$prefix/$f" ] || { echo "missing after install: $f"; exit 1; }
done
export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
work=$(dirname "$prefix")
"$cc" -std=gnu99 -Wall -Wextra -Werror -pedantic -Wno-variadic-macros $(pkg-config --cflags dvrplat) \
  -o "$work/c99_shared" "$prog" $(pkg-config --libs dvrplat)
LD_LIBRARY_PATH="$prefix/lib" "$work/c99_shared" > "$work/c99_shared.out"
"$cc" -std=gnu99 -Wall -Wextra -Werror $(pkg-config --cflags dvrplat) \
  -o "$work/c99_static" "$prog" "$prefix/lib/libdvrplat.a" $(pkg-config --static --libs-only-l dvrplat | sed 's/-ldvrplat//')
"$work/c99_static" > "$work/c99_static.out"
grep -q "^c99,7:main(): hello from C 42" "$work/c99_shared.out"
cmp "$work/c99_shared.out" "$work/c99_static.out"
echo "C99 program built and ran against the installed library (shared and static)"
