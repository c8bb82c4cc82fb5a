#!/bin/sh
# Builds and runs the project on Debian 12.
#   ./dev.sh demo   build the driver and run the demo host
#   ./dev.sh test   build and run every test, plainly and under ASan/UBSan
# As root it first installs whatever of the build's Debian packages is missing.
set -eu
cd "$(dirname "$0")"

packages="cmake make g++ binutils python3 libgtest-dev libgmock-dev libbenchmark-dev g++-mingw-w64-i686"

install_missing() {
  missing=""
  for p in $packages; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
  done
  [ -z "$missing" ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "dev.sh: missing packages:$missing (run as root, or install them)" >&2
    exit 1
  fi
  apt-get update -q
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q $missing
}

jobs=$(nproc 2>/dev/null || echo 2)

build() { # directory, extra cmake arguments...
  dir=$1
  shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
  cmake --build "$dir" --parallel "$jobs"
}

case "${1:-}" in
  demo)
    install_missing
    build build
    ./build/bin/kelhost
    ;;
  test)
    install_missing
    build build
    ctest --test-dir build --output-on-failure --parallel "$jobs"
    build build-asan -DKEL_SANITIZE=ON
    ctest --test-dir build-asan --output-on-failure --parallel "$jobs"
    ;;
  *)
    echo "usage: ./dev.sh demo|test" >&2
    exit 64
    ;;
esac
