#!/usr/bin/env bash
# The quick loop, as a normal user, in a few minutes: builds the dev preset and runs the unit tests, the UI tests and
# the faster engine tests against real libobs and real servers on loopback. What needs root (its own network and
# mounts, another owner's files) and the long scenarios run in the full run, tools/test-all.sh.
#
#   tools/test-quick.sh [GTEST_FILTER]   a filter replaces the engine subset (e.g. 'Faults.*')
#
# Needs what tools/install-deps.sh installs.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

# Each a few seconds; together they start, stream, record, fail, cancel and change live.
engine=${1:-'Streaming.OwnSizeToFourRtmpServersWithOneEncoderOfEach:Streaming.OpusOverSrt:EncoderSettings.*:Pipeline.*:Faults.RefusedFirstConnectionFailsAtOnce:Faults.StoppingWhileARestartWaits:Faults.SourceDeletedWhileLive:LiveChanges.*:Stopping.*'}
# These change another user's file or run as root only.
unit='-ConfigTest.KeysThatCannotBeProtectedAreSavedReadableUntilTheyCanBe'
ui='-Panel.NamesShowAsTypedAndKeysSavedReadableAreReportedOnce'

began=$(date +%s)
cmake --preset dev >/dev/null
cmake --build --preset dev -j "$(nproc)" --target unit_tests ui_tests engine_tests
echo "built in $(($(date +%s) - began)) s"

# Each suite runs in a scratch folder of its own, removed afterwards.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failed=0
run() {
	local suite=$1 filter=$2 status=0
	(cd "$scratch" && "$root/build/dev/tests/$suite" --gtest_filter="$filter" --gtest_brief=1) || status=$?
	echo "$suite: exit $status"
	[ "$status" = 0 ] || failed=1
}
run unit_tests "$unit"
run ui_tests "$ui"
run engine_tests "$engine"
echo "quick loop done in $(($(date +%s) - began)) s"
exit "$failed"
