#!/usr/bin/env bash
# Installs what is needed, builds the plug-in, installs it for this user and starts OBS with it (Debian 12 or 13): on
# $DISPLAY when there is one, otherwise under a virtual display, leaving OBS's log and a screenshot behind.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

if [ "${TALLOWMERE_SKIP_INSTALL:-0}" != 1 ]; then
	tools/install-deps.sh
fi
tools/build.sh build/release -DTALLOWMERE_TESTS=OFF
cmake --install build/release
echo "installed: $HOME/.config/obs-studio/plugins/tallowmere"

if [ -n "${DISPLAY:-}" ]; then
	exec obs
fi

# No display: a virtual one, a first-run profile if OBS has none yet (else its setup wizard opens), a screenshot.
out=${TALLOWMERE_RUN_DIR:-/tmp/tallowmere-obs}
mkdir -p "$out"
# (OBS 30 reads it from global.ini, OBS 31 and later from user.ini.)
for ini in global.ini user.ini; do
	if [ ! -f "$HOME/.config/obs-studio/$ini" ]; then
		mkdir -p "$HOME/.config/obs-studio"
		printf '[General]\nFirstRun=true\n' > "$HOME/.config/obs-studio/$ini"
	fi
done
# OBS and the display get a session of their own: Ctrl+C reaches only this script, which then asks OBS once to
# close (a second SIGINT during OBS's shutdown breaks it off) and ends the display after OBS has gone.
setsid Xvfb :73 -screen 0 1280x720x24 -nolisten tcp >"$out/xvfb.log" 2>&1 &
xvfb=$!
trap 'kill $xvfb 2>/dev/null || true' EXIT
for _ in $(seq 50); do [ -e /tmp/.X11-unix/X73 ] && break; sleep 0.1; done
export DISPLAY=:73
setsid obs --multi >"$out/obs.log" 2>&1 &
obs=$!
for _ in $(seq 100); do grep -q 'Switched to scene' "$out/obs.log" 2>/dev/null && break; sleep 0.2; done
sleep 3
ffmpeg -loglevel error -y -f x11grab -video_size 1280x720 -i :73 -frames:v 1 "$out/screenshot.png" || true
grep '\[tallowmere\]' "$out/obs.log" || true
echo "OBS runs under a virtual display (pid $obs). Log: $out/obs.log  Screenshot: $out/screenshot.png"
echo "Press Ctrl+C to close OBS."
close_obs() {
	trap - EXIT INT TERM
	kill -INT $obs 2>/dev/null || true
	for _ in $(seq 300); do kill -0 $obs 2>/dev/null || break; sleep 0.1; done
	kill $obs $xvfb 2>/dev/null || true
	grep -E 'Number of memory leaks' "$out/obs.log" || true
}
trap close_obs EXIT INT TERM
wait $obs || true
