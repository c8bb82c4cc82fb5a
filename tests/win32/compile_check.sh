#!/bin/sh
# The boundary header as a Windows host compiles it, in C89, C99 and C11,
# with CC a 32- or 64-bit MinGW-w64 compiler: its static asserts prove that
# width's record layout. (The sources themselves are compiled by the Windows
# DLL builds.) Usage: compile_check.sh SOURCE_DIR CC
set -eu
src=$1
cc=$2
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

printf '#include "kelwnsrp.h"\nint main(void) { return (int)sizeof(KelRequest); }\n' > "$out/header.c"
for std in c89 c99 c11; do
  "$cc" -std=$std -Wall -Wextra -Werror -pedantic -I"$src/include" -c "$out/header.c" -o "$out/header-$std.o"
done
echo "the header compiles as C89, C99 and C11 with $cc"
