#!/bin/sh
# Compiles the driver as the 32-bit Windows build sees it: the boundary header
# as C (its static asserts prove the 32-bit record layout) and every source of
# the Windows DLL as C++. Usage: compile_check.sh SOURCE_DIR CXX CC
set -eu
src=$1
cxx=$2
cc=$3
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

printf '#include "kelwnsrp.h"\nint main(void) { return (int)sizeof(KelRequest); }\n' > "$out/header.c"
for std in c89 c99 c11; do
  "$cc" -std=$std -Wall -Wextra -Werror -I"$src/include" -c "$out/header.c" -o "$out/header-$std.o"
done

for file in "$src"/driver/*.cpp "$src"/address/*.cpp "$src"/link/*.cpp \
            "$src/serial/serial_port.cpp" "$src/serial/win32_platform.cpp"; do
  [ -e "$file" ] || continue
  "$cxx" -std=c++20 -Wall -Wextra -Werror -DKELWNSRP_BUILDING -I"$src/include" -I"$src" \
    -c "$file" -o "$out/$(basename "$file").o"
done
echo "32-bit Windows compile check passed"
