#!/usr/bin/env bash
# Fetches Debian's stock x86-64 kernel package and unpacks it into a cache
# directory (never installing it as this machine's kernel), with a module
# dependency list made for the unpacked tree.
#
#   scripts/kernel/fetch-x86.sh CACHE_DIR
#
# Prints the unpacked tree's directory; its "version" file holds the
# kernel release (the name under lib/modules). A tree already unpacked for
# the package version apt offers today is reused.
set -euo pipefail
cache=${1:?cache directory}
mkdir -p "$cache"
cache=$(cd "$cache" && pwd)

# linux-image-amd64 is a meta package: its dependency names the image.
pkg=$(apt-cache depends linux-image-amd64 2>/dev/null | sed -n 's/^ *Depends: \(linux-image-[0-9].*-amd64\)$/\1/p' | head -1)
[ -n "$pkg" ] || { echo "fetch-x86: no linux-image-amd64 in the package lists" >&2; exit 1; }
ver=$(apt-cache policy "$pkg" | sed -n 's/^ *Candidate: //p')
tree=$cache/x86-$pkg-$ver
if [ ! -f "$tree/version" ]; then
  rm -rf "$tree" "$tree.part"
  mkdir -p "$tree.part/dl"
  # apt's download user cannot write into root's directories: fetch as
  # root into a directory of our own.
  (cd "$tree.part/dl" && apt-get download -q "$pkg=$ver" >/dev/null 2>"$tree.part/dl/apt.log") || {
    cat "$tree.part/dl/apt.log" >&2; exit 1; }
  dpkg-deb -x "$tree.part"/dl/*.deb "$tree.part/root"
  rm -rf "$tree.part/dl"
  release=$(ls "$tree.part/root/lib/modules" | head -1)
  depmod -b "$tree.part/root" "$release"
  echo "$release" >"$tree.part/version"
  mv "$tree.part" "$tree"
fi
echo "$tree"
