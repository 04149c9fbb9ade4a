#!/usr/bin/env bash
# Run inside a root made by tools/host-root.sh (tools/host-root.sh run <suite> tools/test-host.sh): builds the
# plug-in against that release's OBS and Qt with warnings as errors, then runs the unit tests, the tests in the
# real OBS application and the Debian package test against that release's own obs.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
suite=${TALLOWMERE_HOST_SUITE:?run it through tools/host-root.sh run <suite>}
dir=build/host-$suite

TALLOWMERE_TARGETS="tallowmere unit_tests host_tests package_tests" tools/build.sh "$dir"
ctest --test-dir "$dir" --output-on-failure --timeout 900 -R '^(module_exports|unit_tests|host_tests|package_tests)$'
