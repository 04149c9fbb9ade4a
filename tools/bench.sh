#!/usr/bin/env bash
# Builds and runs the benchmarks, printing their figures (about 16 minutes: the recovery figures wait out
# real outages of 5 s, 60 s, 3 and 10 minutes, side by side).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
if [ "${TALLOWMERE_SKIP_INSTALL:-0}" != 1 ]; then
	tools/install-deps.sh
fi
TALLOWMERE_TARGETS="engine_bench panel_bench obs_bench" tools/build.sh build/bench
build/bench/tests/engine_bench "$@" 2>/dev/null | grep -E '^(encode once|isolation|audio|tick|recovery|a/v timing|\[  )'
build/bench/tests/panel_bench 2>/dev/null | grep -E '^(panel |click to|collection change|\[  )'
build/bench/tests/obs_bench 2>/dev/null | grep -E '^(obs app|\[  )'
