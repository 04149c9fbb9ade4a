#!/usr/bin/env bash
# Configures and builds one build tree: tools/build.sh <dir> [cmake options...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=$1
shift
cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTALLOWMERE_WERROR=ON "$@"
# TALLOWMERE_TARGETS: build only these targets (space-separated); default all.
targets=()
for target in ${TALLOWMERE_TARGETS:-}; do
	targets+=(--target "$target")
done
cmake --build "$dir" -j "$(nproc)" "${targets[@]}"
