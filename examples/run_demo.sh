#!/bin/sh
# The library at work: starts the demo AT host with UDP channel 0 on two
# ports of this machine, sends it a short AT session with at_send over the
# loopback interface, shows the conversation and the host's own account of it,
# then stops the host with SIGTERM.
#
#   examples/run_demo.sh [BUILD_DIR]      (make demo runs it after building)
#
# DEMO_RX_PORT / DEMO_TX_PORT choose the ports (default 17100 / 17101).
# The host binds its Rx port on ALL interfaces, as the library does for
# every UDP channel: other machines on your network can reach it while the
# demo runs (a few seconds).
set -eu

BUILD=${1:-build}
RX=${DEMO_RX_PORT:-17100}
TX=${DEMO_TX_PORT:-17101}
AT_HOST=${AT_HOST:-$BUILD/examples/at_host}
AT_SEND=${AT_SEND:-$BUILD/examples/at_send}

for bin in "$AT_HOST" "$AT_SEND"; do
    if [ ! -x "$bin" ]; then
        echo "demo: $bin not found; build first (make build)" >&2
        exit 2
    fi
done

log=$(mktemp "${TMPDIR:-/tmp}/at_host.XXXXXX")
pid=""
cleanup() {
    if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
        kill -KILL "$pid" 2>/dev/null || true
    fi
    rm -f "$log"
}
trap cleanup EXIT INT TERM

echo "== libat_stubs demo =="
echo "Host:   at_host --rx-port $RX --tx-port $TX --verbose"
echo "        AT commands in on UDP port $RX (bound on all interfaces),"
echo "        replies out to the sender's address at UDP port $TX."
echo "Client: at_send --host 127.0.0.1 --port $RX --reply-port $TX ..."
echo

"$AT_HOST" --rx-port "$RX" --tx-port "$TX" --no-usb --verbose >"$log" 2>&1 &
pid=$!

# Wait until the host says it is ready (10 s at most).
tries=0
until grep -q "ready;" "$log"; do
    if ! kill -0 "$pid" 2>/dev/null; then
        echo "demo: the host stopped before it was ready:" >&2
        cat "$log" >&2
        pid=""
        exit 1
    fi
    tries=$((tries + 1))
    if [ "$tries" -gt 100 ]; then
        echo "demo: the host did not become ready within 10 s:" >&2
        cat "$log" >&2
        exit 1
    fi
    sleep 0.1
done

echo "--- conversation ('>' the client sends, '<' the host replies) ---"
status=0
# ATE0 first (echo is on at power-on, as on any V.250 modem), then the
# session proper; AT+CGMM is sent in two datagrams, "AT+CG" and "MM".
"$AT_SEND" --host 127.0.0.1 --port "$RX" --reply-port "$TX" --timeout 5000 \
    ATE0 AT ATI AT+CGMI --part AT+CG MM AT+NOSUCH || status=$?
echo

# Stop the host the way a service manager would, and wait for it (10 s).
kill -TERM "$pid"
tries=0
while kill -0 "$pid" 2>/dev/null; do
    tries=$((tries + 1))
    if [ "$tries" -gt 100 ]; then
        echo "demo: the host did not stop within 10 s of SIGTERM" >&2
        cat "$log" >&2
        exit 1
    fi
    sleep 0.1
done
host_status=0
wait "$pid" || host_status=$?
pid=""

echo "--- the host's output ---"
cat "$log"
echo

if [ "$status" -ne 0 ]; then
    echo "demo: FAILED: the client exited with status $status" >&2
    exit 1
fi
if [ "$host_status" -ne 0 ]; then
    echo "demo: FAILED: the host exited with status $host_status" >&2
    exit 1
fi
echo "demo: done"
