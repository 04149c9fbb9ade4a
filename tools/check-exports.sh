#!/usr/bin/env bash
# The module exports OBS's eight entry points and nothing else: tools/check-exports.sh <tallowmere.so>
set -euo pipefail
expected="obs_module_free_locale obs_module_get_string obs_module_load obs_module_post_load obs_module_set_locale obs_module_set_pointer obs_module_unload obs_module_ver"
actual=$(nm -D --defined-only "$1" | awk '{print $3}' | sort | tr '\n' ' ' | sed 's/ $//')
if [ "$actual" != "$expected" ]; then
	echo "unexpected exports: $actual" >&2
	exit 1
fi
echo "exports: $actual"
