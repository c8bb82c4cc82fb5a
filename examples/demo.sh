#!/bin/sh
# The demo, run by `./dev.sh demo` once kelhost, jwsim and jwgate are built:
#   examples/demo.sh BUILD_DIR
# A simulated, write-protected controller on a pseudo-terminal (jwsim, memory
# from examples/bench-memory.txt), then
#   1. kelhost working it through the driver: the banner, a gate address
#      refused, reads of every kind, a write through write protection with
#      its frames, the value read back, a short poll;
#   2. jwgate serving it (examples/demo-gateway.toml) to Modbus TCP and to a
#      mosquitto broker of the demo's own: mbpoll reads the mapped registers
#      and writes one (its frames on the line shown), mosquitto_sub shows the
#      retained values and the status "online", the same line as a Sparkplug B
#      edge node shows its first DBIRTH and DDATA decoded (jwgate
#      --decode-sparkplug), GET /healthz and /metrics show
#      its HTTP endpoint, SIGTERM stops the gateway and
#      the status "offline" is shown.
# It ends by itself, leaves no process behind and exits non-zero when a step
# fails. Its files are BUILD_DIR/demo-*.
# shellcheck disable=SC2086 # $line and $topics are several words on purpose
set -eu
cd "$(dirname "$0")/.."
build=${1:-build}
bin=$build/bin

pids=""
cleanup() {
  status=$?
  for pid in $pids; do kill "$pid" 2>/dev/null || true; done
  for pid in $pids; do wait "$pid" 2>/dev/null || true; done
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

fail() {
  echo "demo: $*" >&2
  exit 1
}

# wait_for FILE PATTERN WHAT: up to 10 s for a line matching PATTERN in FILE.
wait_for() {
  for _ in $(seq 100); do
    grep -q "$2" "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  cat "$1" >&2 2>/dev/null || true
  fail "no $3 after 10 s"
}

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

for program in kelhost jwsim jwgate; do
  [ -x "$bin/$program" ] || fail "$bin/$program is not built (./dev.sh demo builds it)"
done
for program in mosquitto mosquitto_sub mbpoll python3; do
  command -v "$program" >/dev/null || fail "$program is missing (./dev.sh demo installs it as root)"
done

# A simulated controller (write-protected, memory from a sample file) on a
# pseudo-terminal, every frame traced into its log.
memory=$build/demo-memory.txt
simulator_log=$build/demo-jwsim.txt
cp examples/bench-memory.txt "$memory"
"$bin/jwsim" --station 01 --protect --trace --memory "$memory" >"$simulator_log" 2>&1 &
pids="$pids $!"
wait_for "$simulator_log" '^port ' "port from jwsim"
port=$(awk '/^port / {print $2}' "$simulator_log")

kelhost=$bin/kelhost
line="--port $port --data-bits 8 --timeout 200"
echo "=== kelhost info"
$kelhost info
echo "=== kelhost check 01MA1600 (past the end of the MA area)"
if $kelhost check 01MA1600; then fail "kelhost check 01MA1600 passed"; else echo "(exit $?: refused, with the driver's message)"; fi
echo "=== kelhost read: a relay, a timer, registers of 8, 16 and 32 bits from $memory"
$kelhost read $line 01R00001 01T0005 01MB0010B 01MA0100 01M09000:32
echo "=== kelhost --trace write 01MA0102=4660: the controller is write-protected; the driver switches"
echo "    write mode on (EWR 2), writes, and switches it off (EWR 0). Frames: < sent, > received"
$kelhost --trace write $line 01MA0102=4660 2>&1
echo "=== kelhost read 01MA0102 (read back)"
$kelhost read $line 01MA0102
echo "=== kelhost poll, 3 scans 200 ms apart"
$kelhost poll $line --count 3 --interval 200 01MA0100..01MA0103 01R00001

# The gateway: its configuration made from examples/demo-gateway.toml with
# the ports of the moment.
modbus_port=$(free_port)
broker_port=$(free_port)
http_port=$(free_port)
config=$build/demo-gateway.toml
awk -v line="$port" -v modbus="$modbus_port" -v mqtt="$broker_port" -v http="$http_port" '
  /^\[/ { section = $1 }
  /^port *=/ {
    if (section == "[line]") sub(/=[^#]*/, "= \"" line "\"  ")
    else if (section == "[modbus]") sub(/=[^#]*/, "= " modbus "  ")
    else if (section == "[mqtt]") sub(/=[^#]*/, "= " mqtt "  ")
    else if (section == "[http]") sub(/=[^#]*/, "= " http "  ")
  }
  { print }' examples/demo-gateway.toml >"$config"
echo
echo "=== jwgate --check: the scan plan of $config (examples/demo-gateway.toml on $port)"
"$bin/jwgate" --config "$config" --check

echo "=== mosquitto on 127.0.0.1:$broker_port, a broker of the demo's own"
broker_config=$build/demo-mosquitto.conf
printf 'listener %s 127.0.0.1\nallow_anonymous true\npersistence false\n' "$broker_port" >"$broker_config"
mosquitto -c "$broker_config" >"$build/demo-mosquitto.txt" 2>&1 &
pids="$pids $!"
ready=""
for _ in $(seq 50); do
  if mosquitto_sub -h 127.0.0.1 -p "$broker_port" -t demo/ready -E 2>/dev/null; then ready=yes; break; fi
  sleep 0.1
done
[ -n "$ready" ] || { cat "$build/demo-mosquitto.txt" >&2; fail "mosquitto does not answer on port $broker_port"; }
echo "(running)"

# The edge node's first DBIRTH and DDATA, caught as they are published.
sparkplug_sub() { # TYPE
  mosquitto_sub -h 127.0.0.1 -p "$broker_port" -t "spBv1.0/Demo/$1/line1/station01" -C 1 -W 20 -N \
    >"$build/demo-$1.bin" 2>/dev/null &
  pids="$pids $!"
}
sparkplug_sub DBIRTH
sparkplug_sub DDATA
sleep 0.3

gateway_log=$build/demo-jwgate.txt
echo "=== jwgate on $port: Modbus TCP on 127.0.0.1:$modbus_port, MQTT to 127.0.0.1:$broker_port"
"$bin/jwgate" --config "$config" 2>"$gateway_log" &
gateway=$!
pids="$pids $gateway"
wait_for "$gateway_log" 'modbus: listening' "Modbus server"
wait_for "$gateway_log" 'connected to MQTT broker' "MQTT connection"
cat "$gateway_log"

# mbpoll: one request (-1), addresses from 0 as in the configuration (-0).
mbpoll_output=$build/demo-mbpoll.txt
mbpoll_quiet() {
  mbpoll -m tcp -p "$modbus_port" -o 2 -0 -1 "$@" >"$mbpoll_output" 2>&1 &&
    ! grep -qiE 'fail|error|exception' "$mbpoll_output" &&
    grep -qE '^\[|^Written' "$mbpoll_output"
}
mbpoll_show() {
  mbpoll_quiet "$@" || { cat "$mbpoll_output" >&2; fail "mbpoll $* failed"; }
  grep -E '^\[|^Written' "$mbpoll_output"
}
# Until the first scan has read every point (before it they answer 0x0B).
for _ in $(seq 50); do
  mbpoll_quiet -t 3 -r 0 -c 5 127.0.0.1 && mbpoll_quiet -t 1 -r 0 127.0.0.1 && break
  sleep 0.1
done

echo "=== mbpoll: input registers 0 to 4 (tank_level, total's high and low words, level8, batch_timer)"
mbpoll_show -t 3 -r 0 -c 5 127.0.0.1
echo "=== mbpoll: input registers 1 and 2 as one 32-bit number, high word first (total)"
mbpoll_show -t 3:int -B -r 1 127.0.0.1
echo "=== mbpoll: discrete input 0 (lamp, relay 01R00001) and holding register 0 (setpoint, 01MA0102)"
mbpoll_show -t 1 -r 0 127.0.0.1
mbpoll_show -t 4 -r 0 127.0.0.1
echo "=== mbpoll writes 1500 into holding register 0 (setpoint): jwgate writes 01MA0102 through the"
echo "    controller's write protection. Its frames on the line (jwsim --trace; the scan's reads left out):"
seen=$(wc -l <"$simulator_log")
mbpoll_show -t 4 -r 0 127.0.0.1 1500
# The write is answered once the controller acknowledged it; write mode is
# switched off (EWR 0) right after.
for _ in $(seq 50); do
  tail -n +"$((seen + 1))" "$simulator_log" | grep -q 'EWR012' && break
  sleep 0.1
done
tail -n +"$((seen + 1))" "$simulator_log" | grep -vE 'MRG|MRL|MTC'
echo "=== mbpoll: holding register 0 read back"
mbpoll_show -t 4 -r 0 127.0.0.1

echo "=== mosquitto_sub: the retained values (JSON) and the status"
topics="-t demo/line1/tank_level -t demo/line1/setpoint -t demo/line1/total -t demo/line1/lamp -t demo/line1/status"
# The setpoint is published once the scan has read it back after the write.
for _ in $(seq 50); do
  mosquitto_sub -h 127.0.0.1 -p "$broker_port" $topics -v --retained-only -C 5 -W 5 >"$build/demo-mqtt.txt" ||
    { cat "$build/demo-mqtt.txt" >&2; fail "mosquitto_sub did not get the 5 retained topics"; }
  grep -q '^demo/line1/setpoint .*"value":1500' "$build/demo-mqtt.txt" && break
  sleep 0.1
done
sort "$build/demo-mqtt.txt"
grep -q '^demo/line1/setpoint .*"value":1500' "$build/demo-mqtt.txt" || fail "the setpoint's retained value is not 1500"
grep -qx 'demo/line1/status online' "$build/demo-mqtt.txt" || fail "the status is not \"online\""

echo "=== the same line as a Sparkplug B edge node: its first DBIRTH and DDATA (jwgate --decode-sparkplug)"
for kind in DBIRTH DDATA; do
  for _ in $(seq 100); do
    [ -s "$build/demo-$kind.bin" ] && break
    sleep 0.1
  done
  [ -s "$build/demo-$kind.bin" ] || fail "no $kind from the edge node"
  echo "spBv1.0/Demo/$kind/line1/station01:"
  "$bin/jwgate" --decode-sparkplug "$build/demo-$kind.bin" || fail "no $kind decoded"
done

echo "=== GET /healthz and the first lines of GET /metrics (http://127.0.0.1:$http_port/ is the live status page)"
http_get() {
  python3 -c 'import sys, urllib.request, urllib.error
try:
    reply = urllib.request.urlopen(sys.argv[1], timeout=5)
except urllib.error.HTTPError as refused:
    reply = refused
sys.stdout.write(reply.read().decode())' "http://127.0.0.1:$http_port$1"
}
http_get /healthz >"$build/demo-http.txt" || fail "GET /healthz failed"
cat "$build/demo-http.txt"
echo
grep -q '"status":"ok"' "$build/demo-http.txt" || fail "/healthz does not say ok"
http_get /metrics >"$build/demo-http.txt" || fail "GET /metrics failed"
grep -E '^jwgate_(point_value|station_up|exchanges_total|port_open)' "$build/demo-http.txt" | head -n 8
grep -q '^jwgate_point_value{point="setpoint",address="01MA0102"} 1500$' "$build/demo-http.txt" ||
  fail "/metrics does not carry the setpoint's 1500"

echo "=== SIGTERM to jwgate: the exchange under way ends, \"offline\" is published, the port is closed"
kill -TERM "$gateway"
status=0
wait "$gateway" || status=$?
pids=$(echo "$pids" | sed "s/ $gateway\$//; s/ $gateway / /")
sed -n '/ending on/,$p' "$gateway_log"
[ "$status" -eq 0 ] || fail "jwgate ended with exit $status after SIGTERM"
echo "(exit 0)"
echo "=== mosquitto_sub: the status after the stop"
mosquitto_sub -h 127.0.0.1 -p "$broker_port" -t demo/line1/status -v -C 1 -W 5 >"$build/demo-mqtt.txt" ||
  { cat "$build/demo-mqtt.txt" >&2; fail "mosquitto_sub got no status"; }
cat "$build/demo-mqtt.txt"
grep -qx 'demo/line1/status offline' "$build/demo-mqtt.txt" || fail "the status is not \"offline\""
echo "=== done: logs in $build/demo-*.txt"
