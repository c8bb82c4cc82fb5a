#!/bin/sh
# A release zip per Windows build, in a folder named like the zip: the DLL,
# a sample kelwnSRP.int, README-windows.txt, and kelhost/ with kelhost.exe,
# a copy of the DLL and the stand-in TESKAR.dll kelhost takes the driver's
# messages from (kelhost needs it; the host's program folder must not get it).
# Usage: make_zips.sh VERSION OUT_DIR NAME=BIN_DIR...   e.g. win32=build/win32/bin
set -eu
[ $# -ge 3 ] || { echo "usage: make_zips.sh VERSION OUT_DIR NAME=BIN_DIR..." >&2; exit 64; }
version=$1
out=$2
shift 2
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$out"
out=$(cd "$out" && pwd)
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT

# Windows text files: CRLF line ends.
crlf() { sed 's/\r*$/\r/' "$1"; }

for build in "$@"; do
  name=${build%%=*}
  bin=${build#*=}
  case "$name" in
    win32) bits=32 ;;
    win64) bits=64 ;;
    *) echo "make_zips.sh: unknown build '$name' (win32 or win64)" >&2; exit 64 ;;
  esac
  folder=kelwnsrp-$version-$name
  rm -rf "${stage:?}/$folder"
  mkdir -p "$stage/$folder/kelhost"
  cp "$bin/KELWNSRP.dll" "$stage/$folder/"
  cp "$bin/kelhost.exe" "$bin/KELWNSRP.dll" "$bin/TESKAR.dll" "$stage/$folder/kelhost/"
  printf 'WAITINGTIME 50\r\n' > "$stage/$folder/kelwnSRP.int"
  crlf "$here/README-windows.txt" | sed "s/@VERSION@/$version/g; s/@BITS@/$bits/g" > "$stage/$folder/README-windows.txt"
  rm -f "$out/$folder.zip"
  (cd "$stage" && zip -q -X -r "$out/$folder.zip" "$folder")
  echo "$out/$folder.zip"
done
