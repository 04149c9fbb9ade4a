#!/usr/bin/env bash
# The long fuzzing run: ten million inputs for each target (hours on a small machine); prints the figures. Qt 5's
# JSON parser leaks a few hundred bytes on some invalid documents, which ten million inputs add up to: hence the
# higher memory limit.
exec "$(dirname "$0")/fuzz.sh" -runs=10000000 -rss_limit_mb=12288 "$@"
