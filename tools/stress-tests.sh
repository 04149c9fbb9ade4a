#!/usr/bin/env bash
# Runs test suites again and again, optionally beside busy loops and in the ASan/UBSan build, and prints how often
# each test passed: a test that passes only on an idle machine shows here. Not part of the test command.
#
#   tools/stress-tests.sh [-n RUNS] [-l BUSY_LOOPS] [-a] [-f GTEST_FILTER] [SUITE...]
#
#   -n RUNS        runs of each suite (default 5)
#   -l BUSY_LOOPS  busy loops beside the tests, each keeping one core busy (default 0; 1 or 2 on this machine)
#   -a             the ASan/UBSan build (build/asan, built when missing) instead of build/test
#   -f FILTER      only these tests (GoogleTest's --gtest_filter)
#   SUITE          engine_tests, ui_tests, unit_tests, update_tests, thread_tests (default: engine_tests ui_tests)
#
# Exits 1 when any test failed in any run. Each run's output is kept in /tmp/tallowmere-stress/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
runs=5
loops=0
asan=0
filter=
while getopts "n:l:af:" option; do
	case $option in
	n) runs=$OPTARG ;;
	l) loops=$OPTARG ;;
	a) asan=1 ;;
	f) filter=$OPTARG ;;
	*)
		sed -n '5,13p' "$0" >&2
		exit 2
		;;
	esac
done
shift $((OPTIND - 1))
suites=("$@")
if [ ${#suites[@]} -eq 0 ]; then
	suites=(engine_tests ui_tests)
fi

if [ "$asan" = 1 ]; then
	build=$root/build/asan
	TALLOWMERE_TARGETS="${suites[*]}" "$root/tools/build.sh" "$build" -DTALLOWMERE_SANITIZE=address \
		-DCMAKE_BUILD_TYPE=Debug >/dev/null
	export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
else
	build=$root/build/test
	TALLOWMERE_TARGETS="${suites[*]}" "$root/tools/build.sh" "$build" >/dev/null
fi

out=/tmp/tallowmere-stress
rm -rf "$out"
mkdir -p "$out"

busy=()
stop_busy() {
	for pid in "${busy[@]}"; do
		kill "$pid" 2>/dev/null || true
	done
}
trap stop_busy EXIT
for ((i = 0; i < loops; i++)); do
	(while :; do :; done) &
	busy+=($!)
done

failed=0
for suite in "${suites[@]}"; do
	binary=$(find "$build/tests" -maxdepth 1 -type f -name "$suite" | head -n1)
	if [ -z "$binary" ]; then
		echo "no $suite in $build" >&2
		exit 2
	fi
	for ((run = 1; run <= runs; run++)); do
		log=$out/$suite-$run.log
		began=$(date +%s)
		status=0
		(cd "$out" && timeout 1800 "$binary" ${filter:+--gtest_filter="$filter"}) >"$log" 2>&1 || status=$?
		echo "$suite run $run of $runs: exit $status after $(($(date +%s) - began)) s ($log)"
		[ "$status" = 0 ] || failed=1
	done
done

# One line per test: how many runs it passed, of how many it ran in.
echo "=== passes per test (build: $(basename "$build"), busy loops: $loops)"
for suite in "${suites[@]}"; do
	cat "$out/$suite"-*.log | awk -v suite="$suite" '
		/^\[       OK \] / { ran[$4]++; passed[$4]++ }
		/^\[  FAILED  \] [^ ]+ \(/ { ran[$4]++ }
		/^\[  SKIPPED \] [^ ]+ \(/ { skipped[$4]++ }
		END {
			for (name in ran) { printf "%3d/%-3d %s %s\n", passed[name], ran[name], suite, name }
			for (name in skipped) { if (!(name in ran)) printf "skipped %s %s\n", suite, name }
		}' | sort -k3
done
failures=$(cat "$out"/*.log | awk '/^\[  FAILED  \] [^ ]+ \(/ { n++ } END { print n + 0 }')
echo "failed runs of tests: $failures"
[ "$failed" = 0 ] && [ "$failures" = 0 ]
