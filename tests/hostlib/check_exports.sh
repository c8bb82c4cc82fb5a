#!/bin/sh
# The driver library exports KelMain and nothing else of ours.
set -eu
library=$1
symbols=$(nm -D --defined-only "$library" | awk '{print $3}' | sort | tr '\n' ' ')
if [ "$symbols" != "KelMain " ]; then
  echo "unexpected exported symbols: $symbols"
  exit 1
fi
# KelMain must be a C symbol, not a mangled C++ one.
nm -D --defined-only "$library" | grep -q ' T KelMain$'
