#!/usr/bin/env bash
# Installs what building, running and testing the plug-in needs on Debian 12 or 13 (as root, or through sudo).
set -euo pipefail

packages=(
	# build
	build-essential cmake pkgconf git ca-certificates file
	# OBS (the app and its plug-ins) and what the module links
	libobs-dev obs-studio libsodium-dev libx11-dev libsimde-dev
	# the update check's HTTPS client, and clang for the fuzzing build (its sanitizer runtimes are added below)
	libcurl4-openssl-dev clang
	# the release API check: Qt 6 and a Windows cross compiler
	qt6-base-dev g++-mingw-w64-x86-64
	# tests: GoogleTest, real servers, media tools, a virtual display with software OpenGL
	libgtest-dev nginx libnginx-mod-rtmp libnginx-mod-stream srt-tools ffmpeg openssl python3-websocket
	xvfb x11-utils libgl1-mesa-dri libegl1 iproute2 util-linux procps gdb
	# a real key press on the test display, for the hotkey test
	xdotool
	# the symbols the dock and the dialog show, for the screenshots
	fonts-noto-color-emoji fonts-droid-fallback
	# the roots of newer Debian releases the tests also run in
	debootstrap
)

# The Qt OBS was built with: Debian 12's OBS 29 uses Qt 5, later releases' OBS Qt 6 (with its platform plug-ins).
. /etc/os-release
if [ "${VERSION_ID:-}" = 12 ]; then
	packages+=(qtbase5-dev)
else
	packages+=(qt6-qpa-plugins)
fi

sudo=()
if [ "$(id -u)" -ne 0 ]; then
	sudo=(sudo)
fi

# A system set up by debootstrap has no /etc/hosts, so "localhost" (which the RTMPS test certificate names)
# does not resolve; an installed Debian has these standard lines.
if [ ! -e /etc/hosts ]; then
	printf '127.0.0.1\tlocalhost\n::1\tlocalhost ip6-localhost ip6-loopback\n' | "${sudo[@]}" tee /etc/hosts >/dev/null
fi

export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update
# The sanitizer runtimes of the release's default clang (clang 14 on Debian 12, 19 on Debian 13).
clang_major=$(apt-cache depends clang | sed -n 's/.*Depends: clang-\([0-9][0-9]*\)$/\1/p' | head -n1)
packages+=("libclang-rt-${clang_major:?no clang in the package lists}-dev")
"${sudo[@]}" apt-get install -y --no-install-recommends "${packages[@]}" "$@"
