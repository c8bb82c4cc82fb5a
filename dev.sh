#!/bin/sh
# Builds and runs the project on Debian 12.
#   ./dev.sh demo   build the driver and run the demo host
#   ./dev.sh test   build and run every test, plainly and under ASan/UBSan
#   ./dev.sh fuzz [SECONDS]  run each fuzz target SECONDS (default 60) with clang's libFuzzer
#   ./dev.sh soak [OPS]      run the fault soak with OPS operations (default 20000)
#   ./dev.sh bench [N]       print what an exchange costs (N exchanges, default 5000) and
#                            what jwgate's scan planner wins on a 9600-baud line
# As root it first installs whatever of the build's Debian packages is missing.
set -eu
cd "$(dirname "$0")"

packages="cmake make g++ binutils python3 pkg-config libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine32:i386 wine64 zip libtomlplusplus-dev libmodbus-dev libmosquitto-dev mosquitto mbpoll nlohmann-json3-dev"

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
    # A simulated controller (write-protected, memory from a sample file) on a
    # pseudo-terminal, and the command-line host working it through the driver.
    memory=build/demo-memory.txt
    cp examples/bench-memory.txt "$memory"
    ./build/bin/jwsim --station 01 --protect --memory "$memory" > build/demo-jwsim.txt &
    simulator=$!
    trap 'kill $simulator 2>/dev/null; wait $simulator 2>/dev/null' EXIT
    for _ in $(seq 50); do grep -q '^port ' build/demo-jwsim.txt 2>/dev/null && break; sleep 0.1; done
    port=$(awk '/^port / {print $2}' build/demo-jwsim.txt)
    kelhost=./build/bin/kelhost
    line="--port $port --data-bits 8 --timeout 200"
    echo "=== kelhost info"
    $kelhost info
    echo "=== kelhost check 01MA1600 (past the end of the MA area)"
    if $kelhost check 01MA1600; then exit 1; else echo "(exit $?: refused, with the driver's message)"; fi
    echo "=== kelhost read: a relay, a timer, registers of 8, 16 and 32 bits from $memory"
    $kelhost read $line 01R00001 01T0005 01MB0010B 01MA0100 01M09000:32
    echo "=== kelhost --trace write 01MA0102=4660: the controller is write-protected; the driver switches"
    echo "    write mode on (EWR 2), writes, and switches it off (EWR 0). Frames: < sent, > received"
    $kelhost --trace write $line 01MA0102=4660 2>&1
    echo "=== kelhost read 01MA0102 (read back)"
    $kelhost read $line 01MA0102
    echo "=== kelhost poll, 3 scans 200 ms apart"
    $kelhost poll $line --count 3 --interval 200 01MA0100..01MA0103 01R00001
    ;;
  test)
    install_missing
    build build
    ctest --test-dir build --output-on-failure --parallel "$jobs"
    build build-asan -DKEL_SANITIZE=ON
    ctest --test-dir build-asan --output-on-failure --parallel "$jobs"
    ;;
  fuzz)
    seconds=${2:-60}
    packages="cmake make clang libclang-rt-14-dev pkg-config libgtest-dev libgmock-dev libcli11-dev libtomlplusplus-dev libmodbus-dev libmosquitto-dev nlohmann-json3-dev"
    install_missing
    targets="fuzz_gate_address fuzz_read_reply fuzz_write_reply fuzz_configuration fuzz_port_name"
    CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKEL_FUZZ=ON
    # Only the fuzz targets: the rest of the tree is not built for libFuzzer.
    cmake --build build-fuzz --parallel "$jobs" --target $targets
    status=0
    for target in $targets; do
      # Runs grow a scratch copy; the checked-in seeds stay as they are.
      corpus=build-fuzz/corpus/$target
      rm -rf "$corpus"
      mkdir -p "$corpus"
      cp tests/fuzz/corpus/$target/* "$corpus"/
      log=build-fuzz/$target.log
      echo "--- $target, $seconds s (full output in $log)"
      if (cd build-fuzz && "./bin/$target" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
            -artifact_prefix="./$target-" "corpus/$target") > "$log" 2>&1; then
        grep -E '^#[0-9]+[[:space:]]+DONE|^stat::number_of_executed_units' "$log"
      else
        # A finding; its input is left as build-fuzz/$target-crash-* (or -leak-, -timeout-).
        tail -n 60 "$log"
        status=1
      fi
    done
    exit $status
    ;;
  soak)
    # The test suite's soak at length: mixed reads and writes with damaged
    # replies against the simulator; it prints what it counted.
    ops=${2:-20000}
    case "$ops" in
      "" | *[!0-9]* | 0*)
        echo "usage: ./dev.sh soak [OPS]   (OPS a positive number)" >&2
        exit 64
        ;;
    esac
    packages="cmake make g++ pkg-config libgtest-dev libgmock-dev libcli11-dev libtomlplusplus-dev libmodbus-dev libmosquitto-dev nlohmann-json3-dev"
    install_missing
    cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
    cmake --build build --parallel "$jobs" --target soak_tests
    KEL_SOAK_OPS=$ops ./build/bin/soak_tests
    ;;
  bench)
    # What an exchange costs, against libmodbus and the wire; figures only.
    packages="cmake make g++ pkg-config libmodbus-dev libgtest-dev libgmock-dev libcli11-dev libtomlplusplus-dev libmosquitto-dev nlohmann-json3-dev"
    install_missing
    cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
    cmake --build build --parallel "$jobs" --target link_bench gateway_bench
    ./build/bin/link_bench "${2:-5000}" 2>/dev/null
    # The gateway's scan planner on a 9600-baud line (10 full scans each way).
    echo
    ./build/bin/gateway_bench 10
    ;;
  *)
    echo "usage: ./dev.sh demo|test|fuzz [SECONDS]|soak [OPS]|bench [EXCHANGES]" >&2
    exit 64
    ;;
esac
