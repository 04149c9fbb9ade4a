#!/usr/bin/env bash
# Fails on an #include that points up the layers: each folder may include only itself and the folders below it,
# as each folder's library links only those (see the README's Layout).
set -euo pipefail
cd "$(dirname "$0")/.."

declare -A may=(
	[base]="base"
	[config]="base config"
	[engine]="base config engine"
	[control]="base config engine control"
	[update]="base update"
	[editor]="base config engine control editor"
	[panel]="base config engine control update editor panel"
	[remote]="base config engine control remote"
	[module]="base config engine control update editor panel remote module"
)

bad=0
for folder in "${!may[@]}"; do
	while IFS= read -r hit; do
		file=${hit%%:*}
		rest=${hit#*:}
		line=${rest%%:*}
		target=$(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([a-z-]*\)\/.*/\1/p' <<<"${rest#*:}")
		if [ -z "$target" ] || [ -z "${may[$target]+known}" ]; then
			continue
		fi
		if [[ " ${may[$folder]} " != *" $target "* ]]; then
			echo "$file:$line: $folder/ may not include $target/ (it is above it)"
			bad=1
		fi
	done < <(grep -Hn '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$folder"/*.cpp "$folder"/*.hpp "$folder"/*.h \
		2>/dev/null || true)
done
if [ "$bad" -ne 0 ]; then
	exit 1
fi
echo "include check passed: every folder includes only itself and those below it"
