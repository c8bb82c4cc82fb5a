#!/bin/sh
# Builds and runs the project on Debian 12.
#   ./dev.sh demo   build the driver and run the demo host
#   ./dev.sh test   build and run every test, plainly and under ASan/UBSan
# As root it first installs whatever of the build's Debian packages is missing.
set -eu
cd "$(dirname "$0")"

packages="cmake make g++ binutils python3 libgtest-dev libgmock-dev libbenchmark-dev g++-mingw-w64-i686 wine wine32:i386"

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
  # The 32-bit Windows tests run under Wine's 32-bit side.
  dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
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
    # A simulated controller on a pseudo-terminal, and the command-line host
    # checking, writing and reading gates on it through the driver.
    trace=build/demo-line.txt
    ./build/bin/jwsim --station 01 --protect --trace > "$trace" &
    simulator=$!
    trap 'kill $simulator 2>/dev/null' EXIT
    for _ in $(seq 50); do grep -q '^port ' "$trace" 2>/dev/null && break; sleep 0.1; done
    port=$(awk '/^port / {print $2}' "$trace")
    ./build/bin/kelhost --port "$port" --line "9600 8 0 0" --timeout 20 \
      --write 01MA0100=4660 --write 01R00001=1 --write 01M09000:4=123456 \
      --read 01MA0100 --read 01R00001 --read 01M09000:4 --read 01T0005 --read 01MB0010B
    echo "--- on the line (< to the controller, > its replies):"
    cat "$trace"
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
