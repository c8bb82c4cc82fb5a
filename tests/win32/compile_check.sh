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

for file in driver/command_table.cpp driver/driver_info.cpp driver/host_log.cpp \
            driver/kel_main.cpp driver/lifecycle.cpp serial/serial_port.cpp \
            serial/win32_platform.cpp; do
  "$cxx" -std=c++20 -Wall -Wextra -Werror -DKELWNSRP_BUILDING -I"$src/include" -I"$src" \
    -c "$src/$file" -o "$out/$(basename "$file").o"
done
echo "32-bit Windows compile check passed"
