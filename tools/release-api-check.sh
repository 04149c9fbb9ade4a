#!/usr/bin/env bash
# Compiles every product source against the OBS 31.1.1 headers with Qt 6 (the Windows release's API), and the
# Windows-only files with a MinGW cross compiler. Compile only: nothing here can be linked or run.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
sdk=${TALLOWMERE_RELEASE_SDK:-$root/../shared/obs-31.1.1-sdk}
jobs=${TALLOWMERE_JOBS:-2}

if [ ! -d "$sdk/include/obs" ]; then
	echo "release API check skipped: no OBS 31.1.1 headers at $sdk"
	# ctest counts this code as skipped; the test command itself insists on the headers.
	exit 77
fi

cd "$root"
# The project's version, as CMake passes it to the code.
version=$(sed -n 's/^project(tallowmere VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
version_flag="-DTALLOWMERE_VERSION=\"$version\""
mapfile -t linux_sources < <(find base config engine control update editor panel remote module -name '*.cpp' 2>/dev/null | sort \
	| grep -v -E -- '-(windows|dpapi|winhttp)\.cpp$')
mapfile -t windows_sources < <(find base config engine control update editor panel remote module -name '*.cpp' 2>/dev/null | sort \
	| grep -E -- '-(windows|dpapi|winhttp)\.cpp$')

qt_flags=$(pkg-config --cflags Qt6Widgets | sed "s/-I/-isystem /g")
export CHECK_FLAGS="-std=c++17 -fsyntax-only -fPIC -Wall -Wextra -Wpedantic -Wshadow -Werror -isystem $sdk/include/obs -isystem $sdk/include -I$root $qt_flags $version_flag"

echo "release API check: ${#linux_sources[@]} sources against $(sed -n 's/#define OBS_VERSION "\(.*\)"/\1/p' "$sdk/include/obs/obsconfig.h") with Qt $(pkg-config --modversion Qt6Core)"
printf '%s\n' "${linux_sources[@]}" | xargs -P "$jobs" -I{} sh -c 'g++ $CHECK_FLAGS "{}" || { echo "FAILED: {}"; exit 255; }'

# The module must declare the release API version.
printf '#include <obs-module.h>\nstatic_assert(LIBOBS_API_VER == 520159233, "built for 31.1.1");\n' \
	| g++ $CHECK_FLAGS -x c++ -

if [ ${#windows_sources[@]} -gt 0 ]; then
	if command -v x86_64-w64-mingw32-g++ >/dev/null; then
		echo "release API check: ${#windows_sources[@]} Windows sources with MinGW"
		for source in "${windows_sources[@]}"; do
			x86_64-w64-mingw32-g++ -std=c++17 -fsyntax-only -Wall -Wextra -Werror "$version_flag" -I"$root" "$source"
		done
	else
		echo "release API check: FAILED, x86_64-w64-mingw32-g++ is missing" >&2
		exit 1
	fi
fi
if command -v x86_64-w64-mingw32-windres >/dev/null; then
	rc_dir=$(mktemp -d)
	trap 'rm -rf "$rc_dir"' EXIT
	IFS=. read -r major minor patch <<<"$version"
	sed -e "s/\${PROJECT_VERSION_MAJOR}/$major/g" -e "s/\${PROJECT_VERSION_MINOR}/$minor/g" \
		-e "s/\${PROJECT_VERSION_PATCH}/$patch/g" -e "s/\${PROJECT_VERSION}/$version/g" module/tallowmere.rc.in \
		>"$rc_dir/tallowmere.rc"
	x86_64-w64-mingw32-windres -i "$rc_dir/tallowmere.rc" -o "$rc_dir/tallowmere.o"
	echo "release API check: version resource $version.0 compiles"
fi
echo "release API check passed"
