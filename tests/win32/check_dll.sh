#!/bin/sh
# KELWNSRP.dll exports KelMain and KelSetTrace and nothing else, and imports only what every
# Windows has (KERNEL32, the C runtime) and the host's TESKAR.dll, from which
# it takes err alone; and it is built for the machine FORMAT names
# (pei-i386, pei-x86-64). Usage: check_dll.sh OBJDUMP DLL FORMAT
set -eu
objdump=$1
dll=$2
want_format=$3
dump=$(mktemp)
trap 'rm -f "$dump"' EXIT

format=$("$objdump" -f "$dll" | awk '/file format/ {print $NF}')
[ "$format" = "$want_format" ] || { echo "file format: '$format', want '$want_format'"; exit 1; }

"$objdump" -p "$dll" > "$dump"

exports=$(awk '/\[Ordinal\/Name Pointer\] Table/ {on=1; next} on && /^\t\[/ {print $NF; next} on {on=0}' "$dump" | sort | tr '\n' ' ')
[ "$exports" = "KelMain KelSetTrace " ] || { echo "exports: '$exports', want 'KelMain KelSetTrace '"; exit 1; }

imports=$(awk '/DLL Name:/ {print $3}' "$dump" | sort | tr '\n' ' ')
[ "$imports" = "KERNEL32.dll TESKAR.dll msvcrt.dll " ] || { echo "imported DLLs: '$imports'"; exit 1; }

teskar=$(awk '/DLL Name:/ {dll=$3; next} NF == 0 {dll=""} dll == "TESKAR.dll" && NF == 3 && $2 ~ /^[0-9]+$/ {print $3}' "$dump" | tr '\n' ' ')
[ "$teskar" = "err " ] || { echo "taken from TESKAR.dll: '$teskar', want 'err '"; exit 1; }
echo "KELWNSRP.dll ($format): exports KelMain and KelSetTrace; imports $imports(err from TESKAR.dll)"
