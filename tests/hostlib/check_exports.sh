#!/bin/sh
# The driver library exports KelMain and KelSetTrace and nothing else of ours.
set -eu
library=$1
symbols=$(nm -D --defined-only "$library" | awk '{print $3}' | sort | tr '\n' ' ')
if [ "$symbols" != "KelMain KelSetTrace " ]; then
  echo "unexpected exported symbols: $symbols"
  exit 1
fi
# Both must be C symbols, not mangled C++ ones.
nm -D --defined-only "$library" | grep -q ' T KelMain$'
nm -D --defined-only "$library" | grep -q ' T KelSetTrace$'
