#!/bin/sh
# Builds and runs the project on Debian 12.
#   ./dev.sh demo   build kelhost, jwsim and jwgate and run the demo: the driver through
#                   kelhost, then the gateway to Modbus TCP and MQTT, on the simulator
#   ./dev.sh package  build the Debian package (build/packages/kelwnsrp_<version>_<arch>.deb)
#                     and the Windows zips (build/packages/kelwnsrp-<version>-win32.zip, -win64.zip)
#   ./dev.sh test   build and run every test, plainly and under ASan/UBSan, and
#                   the gateway's and the serial threads' under ThreadSanitizer
#   ./dev.sh tsan   only the gateway's, MQTT link's and serial threads' tests under ThreadSanitizer
#   ./dev.sh fuzz [SECONDS]  run each fuzz target SECONDS (default 60) with clang's libFuzzer
#   ./dev.sh soak [OPS]      run the fault soak with OPS operations (default 20000)
#   ./dev.sh bench [N]       print what an exchange costs (N exchanges, default 5000),
#                            what jwgate's scan planner wins on a 9600-baud line, and
#                            reads through the Python module against the link layer
#   ./dev.sh bench fleet [N] [BAUD] [SECONDS]  N lines (default 20) at BAUD (38400), each jwsim
#                            and jwgate, on one mosquitto for SECONDS (60): freshness, writes, cost
#   ./dev.sh bench sparkplug [SECONDS]  the Sparkplug B edge node with 200 points changing every
#                            second for SECONDS (20): CPU per DDATA metric, time to DBIRTH and to rebirth
#   ./dev.sh bench store [N] jwgate's message store with N messages (default 720000, one hour
#                            of 200 points a second): commits, replay, bytes per message,
#                            then the same backlog drained by jwgate through mosquitto
# As root it first installs whatever of the build's Debian packages is missing.
set -eu
cd "$(dirname "$0")"

packages="cmake make g++ binutils python3 pkg-config libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine32:i386 wine64 zip libtomlplusplus-dev libmodbus-dev libcpp-httplib-dev prometheus-cpp-dev libssl-dev libmosquitto-dev libprotobuf-dev protobuf-compiler libsystemd-dev libsqlite3-dev mosquitto mosquitto-clients mbpoll nlohmann-json3-dev help2man dpkg-dev file lintian systemd adduser prometheus chromium chromium-driver python3-selenium pybind11-dev python3-dev python3-pytest openssl apache2-utils curl python3-jinja2 python3-protobuf python3-paho-mqtt libjs-chart.js"

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

# The gateway's, the MQTT link's and the serial threads' tests (lines of
# their own on threads of their own) under ThreadSanitizer: only those
# targets are built in build-tsan.
tsan() {
  cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKEL_TSAN=ON
  cmake --build build-tsan --parallel "$jobs" --target jwgate jwgate_tests mqtt_link_tests serial_thread_tests
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" ./build-tsan/bin/serial_thread_tests
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" ./build-tsan/bin/mqtt_link_tests
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" ./build-tsan/bin/jwgate_tests
}

# A plant's worth of lines on one broker (bench/fleet.py), against the wire's bounds.
bench_fleet() { # lines, baud, seconds
  packages="cmake make g++ python3 pkg-config libcli11-dev nlohmann-json3-dev libtomlplusplus-dev libmodbus-dev libcpp-httplib-dev prometheus-cpp-dev libssl-dev libmosquitto-dev libprotobuf-dev protobuf-compiler libsystemd-dev libsqlite3-dev mosquitto mosquitto-clients"
  install_missing
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
  cmake --build build --parallel "$jobs" --target jwsim jwgate
  python3 bench/fleet.py build/bin --lines "$1" --baud "$2" --seconds "$3"
}


case "${1:-}" in
  demo)
    # Only what the demo runs: no tests, no Windows build.
    packages="cmake make g++ python3 pkg-config libgtest-dev libgmock-dev libcli11-dev nlohmann-json3-dev libtomlplusplus-dev libmodbus-dev libcpp-httplib-dev prometheus-cpp-dev libssl-dev libmosquitto-dev libprotobuf-dev protobuf-compiler libsystemd-dev libsqlite3-dev mosquitto mosquitto-clients mbpoll python3-protobuf libjs-chart.js"
    install_missing
    echo "=== building kelhost, jwsim and jwgate in build/"
    cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
    cmake --build build --parallel "$jobs" --target kelhost jwsim jwgate
    # The simulator, kelhost through the driver, then jwgate to Modbus TCP and MQTT.
    exec ./examples/demo.sh build
    ;;
  test)
    install_missing
    build build
    ctest --test-dir build --output-on-failure --parallel "$jobs"
    build build-asan -DKEL_SANITIZE=ON
    ctest --test-dir build-asan --output-on-failure --parallel "$jobs"
    tsan
    ;;
  tsan)
    install_missing
    tsan
    ;;
  package)
    # The Debian package, from the plain build (cpack -G DEB; packaging/linux/).
    install_missing
    build build
    cpack -G DEB --config build/CPackConfig.cmake -B build/packages
    deb=$(ls -t build/packages/*.deb | head -n 1)
    echo "package: $deb"
    echo "install it (as root): apt install ./$deb"
    # A zip per Windows DLL, 32- and 64-bit (docs/windows.md).
    cmake --build build --target windows_zips
    ;;
  fuzz)
    seconds=${2:-60}
    packages="cmake make clang libclang-rt-14-dev pkg-config libgtest-dev libgmock-dev libcli11-dev libtomlplusplus-dev libmodbus-dev libcpp-httplib-dev prometheus-cpp-dev libssl-dev libmosquitto-dev libprotobuf-dev protobuf-compiler libsystemd-dev libsqlite3-dev nlohmann-json3-dev"
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
    packages="cmake make g++ pkg-config libgtest-dev libgmock-dev libcli11-dev libtomlplusplus-dev libmodbus-dev libcpp-httplib-dev prometheus-cpp-dev libssl-dev libmosquitto-dev libprotobuf-dev protobuf-compiler libsystemd-dev libsqlite3-dev nlohmann-json3-dev"
    install_missing
    cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
    cmake --build build --parallel "$jobs" --target soak_tests
    KEL_SOAK_OPS=$ops ./build/bin/soak_tests
    ;;
  bench)
    if [ "${2:-}" = fleet ]; then
      bench_fleet "${3:-20}" "${4:-38400}" "${5:-60}"
      exit
    fi
    if [ "${2:-}" = sparkplug ]; then
      # The Sparkplug B edge node's costs (bench/sparkplug_bench.py): figures only.
      packages="cmake make g++ python3 pkg-config libcli11-dev nlohmann-json3-dev libtomlplusplus-dev libmodbus-dev libcpp-httplib-dev prometheus-cpp-dev libssl-dev libmosquitto-dev libprotobuf-dev protobuf-compiler libsystemd-dev libsqlite3-dev mosquitto python3-protobuf python3-paho-mqtt"
      install_missing
      cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
      cmake --build build --parallel "$jobs" --target jwsim jwgate jwgate_sparkplug_python
      /usr/bin/python3 bench/sparkplug_bench.py build "${3:-20}"
      exit
    fi
    if [ "${2:-}" = store ]; then
      # jwgate's message store: commits, replay and bytes per message for
      # 200 points changing every second, one hour of them by default; then
      # that backlog replayed by jwgate through a broker, as fast as it goes.
      packages="cmake make g++ pkg-config libcli11-dev libtomlplusplus-dev libmodbus-dev libcpp-httplib-dev prometheus-cpp-dev libssl-dev libmosquitto-dev libsystemd-dev libsqlite3-dev nlohmann-json3-dev mosquitto"
      install_missing
      cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
      cmake --build build --parallel "$jobs" --target store_bench replay_bench
      ./build/bin/store_bench "${3:-720000}"
      ./build/bin/replay_bench "${3:-720000}"
      exit
    fi
    # What an exchange costs, against libmodbus and the wire; figures only.
    # Everything the bench needs is installed before the build is configured:
    # the Python module's target exists only when pybind11 was found then.
    # (ctest -L bench runs each of these commands once, briefly.)
    packages="cmake make g++ pkg-config libmodbus-dev libcpp-httplib-dev prometheus-cpp-dev libssl-dev libgtest-dev libgmock-dev libcli11-dev libtomlplusplus-dev libmosquitto-dev libprotobuf-dev protobuf-compiler libsystemd-dev libsqlite3-dev nlohmann-json3-dev mosquitto openssl python3 pybind11-dev python3-dev"
    install_missing
    cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
    cmake --build build --parallel "$jobs" --target link_bench gateway_bench mqtt_connect_bench link_reads kelwnsrp_python jwsim
    ./build/bin/link_bench "${2:-5000}" 2>/dev/null
    # The gateway's scan planner on a 9600-baud line (10 full scans each way).
    echo
    ./build/bin/gateway_bench 10
    # Reads through the Python module against the link layer in C++, on one
    # pseudo-terminal, and the jwsim fixture's start and stop.
    echo
    PYTHONPATH=build/python /usr/bin/python3 bench/python_bench.py build
    # The MQTT link's connect time, plain and over TLS (20 connects each).
    echo
    ./build/bin/mqtt_connect_bench 20 2>/dev/null
    ;;
  *)
    echo "usage: ./dev.sh demo|test|package|tsan|fuzz [SECONDS]|soak [OPS]|bench [EXCHANGES]|bench fleet [N] [BAUD] [SECONDS]|bench store [MESSAGES]" >&2
    exit 64
    ;;
esac
