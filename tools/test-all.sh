#!/usr/bin/env bash
# Installs everything, builds, and runs every test: units, the engine against real servers, the module in the
# real OBS application, the release API check, and the sanitizer runs.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

if [ "${TALLOWMERE_SKIP_INSTALL:-0}" != 1 ]; then
	tools/install-deps.sh
fi
if [ "$(id -u)" -ne 0 ]; then
	echo "note: not root; tests that need their own network namespace run in the shared one" >&2
fi

start=$(date +%s)
tools/build.sh build/test
ctest --test-dir build/test --output-on-failure --timeout 900

# The engine, the panel, the editor and the update check under AddressSanitizer and UndefinedBehaviorSanitizer; the
# threaded parts under ThreadSanitizer. Then a short fuzzing run of what comes from outside (the settings file and
# the version document); TALLOWMERE_FUZZ_SECONDS sets its length per target.
TALLOWMERE_TARGETS="unit_tests engine_tests ui_tests update_tests" tools/build.sh build/asan \
	-DTALLOWMERE_SANITIZE=address -DCMAKE_BUILD_TYPE=Debug
ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	ctest --test-dir build/asan --output-on-failure --timeout 900 -R '^(unit_tests|engine_tests|ui_tests|update_tests)$'
TALLOWMERE_TARGETS="thread_tests update_tests" tools/build.sh build/tsan -DTALLOWMERE_SANITIZE=thread \
	-DCMAKE_BUILD_TYPE=Debug
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$root/tests/tsan.supp" \
	ctest --test-dir build/tsan --output-on-failure --timeout 900 -R '^(thread_tests|update_tests)$'
tools/fuzz.sh -max_total_time="${TALLOWMERE_FUZZ_SECONDS:-60}"

echo "all tests passed in $(( $(date +%s) - start )) s"
