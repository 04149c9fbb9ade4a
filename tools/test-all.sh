#!/usr/bin/env bash
# Installs everything, builds, and runs every test: units, the engine against real servers, the module in the
# real OBS application, the release API check, and the sanitizer runs on this system (Debian 12); then the build,
# the unit tests, the real-application tests and the package test in bare roots of Debian 13 (OBS 30) and sid
# (OBS 32). Prints how long each part took.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

if [ "${TALLOWMERE_SKIP_INSTALL:-0}" != 1 ]; then
	tools/install-deps.sh
fi
if [ "$(id -u)" -ne 0 ]; then
	echo "note: not root; tests that need their own network namespace run in the shared one, and the other" \
		"Debian releases are skipped" >&2
fi

# Tests never write into the source tree: what is untracked now is compared with what is after them.
untracked() {
	git -C "$root" ls-files --others --exclude-standard 2>/dev/null | sort || true
}
untracked_before=$(untracked)

start=$(date +%s)
times=()
part() {
	local name=$1 began
	shift
	began=$(date +%s)
	echo "=== $name"
	"$@"
	times+=("$(printf '%5d s  %s' $(($(date +%s) - began)) "$name")")
}

# The other releases' roots are made once per machine; the first time, downloading and unpacking them runs
# meanwhile (a root already made is only checked).
hosts=()
if [ "$(id -u)" -eq 0 ]; then
	hosts=(trixie sid)
fi
making=()
for suite in "${hosts[@]}"; do
	tools/host-root.sh make "$suite" >"/tmp/tallowmere-host-$suite.log" 2>&1 &
	making+=($!)
done

# Configures and builds one of CMakePresets.json's presets (its build folder under build/): preset NAME [TARGET...]
preset() {
	local name=$1 targets=()
	shift
	for target in "$@"; do
		targets+=(--target "$target")
	done
	cmake --preset "$name"
	cmake --build --preset "$name" -j "$(nproc)" "${targets[@]}"
}

# Runs ctest in a build folder; when a test fails, its failed assertions are repeated last, where a log cut in the
# middle still shows them: tests DIR [CTEST-ARGS...]
tests() {
	local dir=$1
	shift
	if ! ctest --test-dir "$dir" --output-on-failure --timeout 900 "$@"; then
		echo "=== failed assertions in $dir"
		grep -h -A8 -E ': Failure$|^==[0-9]+==ERROR|runtime error:|WARNING: ThreadSanitizer' \
			"$dir"/Testing/Temporary/LastTest*.log | head -200 || true
		return 1
	fi
}

part "Debian 12 (OBS 29, Qt 5): build" preset ci
part "Debian 12: unit, engine, UI, update, real-application, package, API and thread tests" tests build/test

# The engine, the panel, the editor and the update check under AddressSanitizer and UndefinedBehaviorSanitizer; the
# threaded parts under ThreadSanitizer. Then a short fuzzing run of what comes from outside (the settings file and
# the version document); TALLOWMERE_FUZZ_SECONDS sets its length per target.
asan() {
	preset asan unit_tests engine_tests ui_tests update_tests
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		tests build/asan -R '^(unit_tests|engine_tests|ui_tests|update_tests)$'
}
tsan() {
	preset tsan thread_tests update_tests
	TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$root/tests/tsan.supp" \
		tests build/tsan -R '^(thread_tests|update_tests)$'
}
part "Debian 12: ASan/UBSan build and tests" asan
part "Debian 12: TSan build and tests" tsan
part "Debian 12: fuzzing" tools/fuzz.sh -max_total_time="${TALLOWMERE_FUZZ_SECONDS:-60}"

# Each release's own OBS and Qt 6: its build with warnings as errors, unit tests, the real application, the package.
for i in "${!hosts[@]}"; do
	if ! wait "${making[$i]}"; then
		cat "/tmp/tallowmere-host-${hosts[$i]}.log" >&2
		exit 1
	fi
done
for suite in "${hosts[@]}"; do
	obs=$(tools/host-root.sh run "$suite" obs --version | sed 's/.* - //')
	part "$suite root (OBS $obs, Qt 6): build, unit, real-application and package tests" \
		tools/host-root.sh run "$suite" tools/test-host.sh
done

left=$(comm -13 <(printf '%s\n' "$untracked_before") <(untracked))
if [ -n "$left" ]; then
	echo "the tests left files in the source tree:" >&2
	printf '%s\n' "$left" >&2
	exit 1
fi
echo "all tests passed in $(($(date +%s) - start)) s"
printf '%s\n' "${times[@]}"
