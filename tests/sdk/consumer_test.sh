#!/usr/bin/env bash
# Installs the build tree to a temporary prefix, builds examples/capture against it one way
# (find_package or pkg_config) and runs it against a virtual unit on loopback.
set -euo pipefail
way=$1 build=$2 example=$3 vantasim=$4
# Every wait below is bounded by this many tenths of a second.
bound=600

work=$(mktemp -d /tmp/sdk_example_XXXXXX)
sim_pid=
cleanup() {
    [[ -n $sim_pid ]] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; for f in "$work"/run/*.txt; do echo "--- $f" >&2; cat "$f" >&2; done; exit 1; }

cmake --install "$build" --prefix "$work/prefix" > "$work/install.log" || fail "install"
for f in bin/vanta bin/vantasim bin/zephcapture bin/boardctl lib/libZephIF.so lib/libwinapi.so \
         lib/libiphlpapi.so lib/libicmp.so lib/libwinapi_qtui.so lib/libwdmstandin.so lib/libHarrow.so \
         lib/libZephDrv.so include/zephif/ZephIF.h include/winapi/windows.h \
         lib/cmake/SensorSuite/SensorSuiteConfig.cmake lib/pkgconfig/zephif.pc \
         lib/pkgconfig/winapi.pc include/vantaproto/VantaSession.h; do
    [[ -e $work/prefix/$f ]] || fail "not installed: $f"
done

# Versioned libraries are symlinks; modules are still found by name beside libwinapi.so.
[[ $("$work/prefix/bin/vanta" --unit 127.0.0.1 route) == 127.0.0.1 ]] ||
    fail "the installed vanta cannot load the IP helper module"

options=(-G Ninja -DCMAKE_BUILD_TYPE=Release)
if [[ $way == pkg_config ]]; then
    export PKG_CONFIG_PATH=$work/prefix/lib/pkgconfig
    options+=(-DCAPTURE_USE_PKG_CONFIG=ON)
else
    options+=(-DCMAKE_PREFIX_PATH="$work/prefix")
fi
CMAKE_C_COMPILER_LAUNCHER= cmake -S "$example" -B "$work/build" "${options[@]}" \
    -DCMAKE_C_FLAGS="-Wall -Wextra -Werror" > "$work/configure.log" 2>&1 ||
    { cat "$work/configure.log" >&2; fail "configure ($way)"; }
cmake --build "$work/build" > "$work/build.log" 2>&1 || { cat "$work/build.log" >&2; fail "build"; }

# The unit exposes on demand: once the library shows that it waits for the exposure.
mkdir "$work/run"
cd "$work/run"
mkfifo "$work/sim_in"
"$work/prefix/bin/vantasim" --address 127.0.0.1 --port 0 --processing-time 0 \
    < "$work/sim_in" > sim.txt 2>&1 &
sim_pid=$!
exec 7> "$work/sim_in"
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

WINAPI_UI=console "$work/build/capture" image.pgm > capture.txt 2> status.txt &
capture_pid=$!
for ((i = 0; i < bound; i++)); do
    grep -q "please expose now" status.txt && break
    kill -0 "$capture_pid" 2>/dev/null || break
    sleep 0.1
done
echo expose >&7
wait "$capture_pid" || fail "the example failed"
grep -q "684 x 456 pixels written to image.pgm" capture.txt || fail "unexpected output"
[[ $(head -c 2 image.pgm) == P5 ]] || fail "no PGM written"
size=$(stat -c %s image.pgm)
(( size > 684 * 456 * 2 )) || fail "PGM too small: $size bytes"
echo "ok: $way"
