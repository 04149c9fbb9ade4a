#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan/UBSan) in build/fuzz and runs each on its seed corpus
# (tests/fuzz/corpus/<target>) plus a working corpus in the build tree, which keeps what the runs found.
# Options go to libFuzzer: tools/fuzz.sh -max_total_time=60, or -runs=10000000. A crash fails the script and
# leaves the input as build/fuzz/crash-<target>-*.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/fuzz
cd "$root"

TALLOWMERE_TARGETS="fuzz_settings_file fuzz_version_document" tools/build.sh "$build" -DTALLOWMERE_FUZZ=ON \
	-DTALLOWMERE_TESTS=OFF -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >"$build.log" 2>&1 \
	|| { tail -50 "$build.log"; exit 1; }

# No leak checks: Qt 5's JSON parser leaks a few bytes on some invalid documents (inside Qt, once per load).
export ASAN_OPTIONS=abort_on_error=1:detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
for target in settings-file version-document; do
	binary=$build/tests/fuzz/fuzz_${target//-/_}
	work=$build/corpus/$target
	mkdir -p "$work"
	echo "fuzzing $target $*"
	"$binary" -dict="$root/tests/fuzz/json.dict" -max_len=16384 -timeout=10 -print_final_stats=1 \
		-artifact_prefix="$build/crash-$target-" "$@" "$work" "$root/tests/fuzz/corpus/$target" 2>"$build/$target.log" \
		|| { tail -60 "$build/$target.log"; exit 1; }
	grep -E '^#[0-9]+[[:space:]]+DONE|^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)' "$build/$target.log" \
		| sed "s/^/  $target: /"
done
