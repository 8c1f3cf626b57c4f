#!/usr/bin/env bash
# zephcapture --ui qt under the offscreen platform against a virtual unit on loopback: the
# library's status window is a Qt window (no console status lines) and the image arrives.
set -euo pipefail
zephcapture=$1 vantasim=$2
# Every wait below is bounded by this many tenths of a second.
bound=600

work=$(mktemp -d /tmp/zephcapture_qt_XXXXXX)
sim_pid=
cleanup() {
    [[ -n $sim_pid ]] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; for f in "$work"/*.txt; do echo "--- $f" >&2; cat "$f" >&2; done; exit 1; }

cd "$work"
mkfifo sim_in
"$vantasim" --address 127.0.0.1 --port 0 --processing-time 0 < sim_in > sim.txt 2>&1 &
sim_pid=$!
exec 7> sim_in
for ((i = 0; i < bound; i++)); do
    grep -q "listening on" sim.txt && break
    sleep 0.1
done
port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' sim.txt)
[[ -n $port ]] || fail "vantasim did not start"
# The library needs a reply port of its own (0 is refused): one outside the ephemeral range
# that nothing listens on now. The tests that do this hold a common lock against each other.
reply_port=
for ((i = 0; i < 50; i++)); do
    candidate=$((20000 + RANDOM % 10000))
    if [[ -z $(ss -Htln "sport = :$candidate") ]]; then reply_port=$candidate; break; fi
done
[[ -n $reply_port ]] || fail "no free reply port"
printf '[VANTA]\r\nSensor-IP=127.0.0.1\r\nSensor-Port=%s\r\nLocal-IP=127.0.0.1\r\nLocal-Port=%s\r\nSensor-Status-Timeout=5\r\nSensor-Capture-Timeout=30\r\n' \
    "$port" "$reply_port" > ZephIF.ini

# The worker's trace says when it shows "please expose now"; the unit exposes only then.
QT_QPA_PLATFORM=offscreen VANTA_DEBUG=capture "$zephcapture" --ui qt --out capture.png \
    > out.txt 2> err.txt &
capture_pid=$!
for ((i = 0; i < bound; i++)); do
    grep -q -- "-> Expose" err.txt && break
    kill -0 "$capture_pid" 2>/dev/null || break
    sleep 0.1
done
echo expose >&7
wait "$capture_pid" || fail "zephcapture failed"
grep -q "^status:" err.txt && fail "status went to the console, not to the window"
grep -q "no Qt backend" err.txt && fail "the Qt backend was not loaded"
[[ -s capture.png ]] || fail "no image written"
echo ok
