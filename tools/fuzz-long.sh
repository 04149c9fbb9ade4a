#!/usr/bin/env bash
# The long fuzzing run: ten million inputs for each target (hours on a small machine); prints the figures.
exec "$(dirname "$0")/fuzz.sh" -runs=10000000 "$@"
