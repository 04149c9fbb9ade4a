#!/usr/bin/env bash
# A bare Debian root of another release with its own OBS, made once per machine, and commands run inside it.
#
#   tools/host-root.sh make <suite>              make (or remake) the root when missing or its package list changed
#   tools/host-root.sh run <suite> <command...>  run a command in it, in the source tree bound at the same path
#
# Roots live in $TALLOWMERE_HOSTS_DIR (default /var/cache/tallowmere-hosts/<suite>), outside any clone. A command
# runs in mount, network and PID namespaces of its own, on a copy-on-write overlay of the root (so the root stays
# as it was made), with a private /tmp and only "lo" up. Needs root.
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
cache=${TALLOWMERE_HOSTS_DIR:-/var/cache/tallowmere-hosts}

packages=(
	# build
	build-essential cmake pkgconf ca-certificates dpkg-dev file
	# the release's OBS, its Qt 6 and what the module links
	obs-studio libobs-dev qt6-base-dev qt6-qpa-plugins libsodium-dev libx11-dev libsimde-dev libcurl4-openssl-dev
	# tests: GoogleTest, real servers, media tools, a virtual display with software OpenGL, a key press
	libgtest-dev nginx libnginx-mod-rtmp libnginx-mod-stream srt-tools ffmpeg openssl python3-websocket xvfb
	x11-utils libgl1-mesa-dri libegl1 iproute2 util-linux procps gdb xdotool fonts-noto-color-emoji
	fonts-droid-fallback
)

usage() {
	echo "usage: $0 make <suite> | run <suite> <command...>" >&2
	exit 2
}

# This system's Debian mirror, from either form of apt's sources (a debootstrapped system has only the one-line
# form); empty when there is none.
mirror() {
	local found
	found=$(sed -n 's/^URIs: *\(http[^ ]*\/debian\)\/*$/\1/p' /etc/apt/sources.list.d/debian.sources 2>/dev/null
		sed -n 's/^deb  *\(\[[^]]*\]  *\)\{0,1\}\(http[^ ]*\/debian\)\/* .*/\2/p' /etc/apt/sources.list 2>/dev/null) || true
	printf '%s\n' "${found%%$'\n'*}"
}

# What the root was made from: a changed list, mirror or suite makes a new root.
stamp() {
	printf '%s\n' "$1" "$(mirror)" "${packages[@]}" | sha256sum | cut -d' ' -f1
}

make_root() {
	local suite=$1 dir=$cache/$1 want
	want=$(stamp "$suite")
	mkdir -p "$dir"
	exec 9>"$dir.lock"
	flock 9
	if [ -f "$dir/stamp" ] && [ "$(cat "$dir/stamp")" = "$want" ] && [ -x "$dir/root/usr/bin/obs" ]; then
		return 0
	fi
	echo "host root $suite: making it in $dir (one time per machine)"
	rm -rf "$dir/root" "$dir/new" "$dir/stamp"
	local url
	url=$(mirror)
	url=${url:-http://deb.debian.org/debian}
	debootstrap --variant=minbase "$suite" "$dir/new" "$url" >"$dir/debootstrap.log" 2>&1 || {
		tail -n 20 "$dir/debootstrap.log" >&2
		return 1
	}
	# The unstable suite's release file on a snapshot mirror can be past its validity date.
	echo 'Acquire::Check-Valid-Until "false";' >"$dir/new/etc/apt/apt.conf.d/90tallowmere"
	printf '127.0.0.1\tlocalhost\n::1\tlocalhost ip6-localhost ip6-loopback\n' >"$dir/new/etc/hosts"
	in_root "$dir/new" rw env DEBIAN_FRONTEND=noninteractive sh -c \
		'apt-get update && apt-get install -y --no-install-recommends "$@" && apt-get clean' sh "${packages[@]}" \
		>"$dir/apt.log" 2>&1 || {
		tail -n 30 "$dir/apt.log" >&2
		return 1
	}
	mv "$dir/new" "$dir/root"
	echo "$want" >"$dir/stamp"
	echo "host root $suite: ready ($(du -sh "$dir/root" | cut -f1))"
}

# in_root <root> <rw|overlay> <command...>: the command in namespaces of its own, chrooted into the root; only
# "rw" (installing the root's packages) reaches the network.
in_root() {
	local rootdir=$1 mode=$2 net=--net
	shift 2
	if [ "$mode" = rw ]; then
		net=
	fi
	# In a plain chroot "/" is no mount of its own and cannot be made private. There the first mount made below
	# is made private instead, so nothing under it reaches the host, and it is undone when the command ends.
	local propagation=private
	if ! unshare --mount --propagation private true 2>/dev/null; then
		propagation=unchanged
	fi
	unshare --mount $net --pid --fork --propagation $propagation -- /bin/bash -c '
		set -euo pipefail
		rootdir=$1 mode=$2 src=$3 propagation=$4
		shift 4
		if [ "$mode" = overlay ]; then
			ip link set lo up
		fi
		if [ "$mode" = overlay ]; then
			scratch=$(mktemp -d /tmp/tallowmere-host.XXXXXX)
			mount -t tmpfs -o size=80% tmpfs "$scratch"
			top=$scratch
			mkdir -p "$scratch/upper" "$scratch/work" "$scratch/merged"
			mount -t overlay overlay -o "lowerdir=$rootdir,upperdir=$scratch/upper,workdir=$scratch/work" \
				"$scratch/merged"
			target=$scratch/merged
		else
			target=$rootdir
			mount --bind "$target" "$target"
			top=$target
		fi
		mount --make-rprivate "$top"
		mount -t proc proc "$target/proc"
		mount --rbind /dev "$target/dev"
		mount --rbind /sys "$target/sys"
		mount -t tmpfs -o mode=1777 tmpfs "$target/tmp"
		cp /etc/resolv.conf "$target/etc/resolv.conf" 2>/dev/null || true
		if [ "$mode" = overlay ]; then
			mkdir -p "$target$src"
			mount --bind "$src" "$target$src"
			shared=$(cd "$src/.." && pwd)/shared
			if [ -d "$shared" ]; then
				mkdir -p "$target$shared"
				mount --bind -o ro "$shared" "$target$shared"
			fi
		fi
		# Binds of shared mounts (/dev, /sys) joined their peers: cut them off too, so the unmount at the end
		# cannot reach the mounts they came from.
		mount --make-rprivate "$top"
		cd "$target"
		run=(chroot "$target" /usr/bin/env -i HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8
			TALLOWMERE_HOST_SUITE="${TALLOWMERE_HOST_SUITE:-}" "$@")
		if [ "$propagation" = private ]; then
			exec "${run[@]}"
		fi
		status=0
		"${run[@]}" || status=$?
		cd /
		umount -l "$top"
		if [ "$mode" = overlay ]; then
			rmdir "$scratch"
		fi
		exit $status
	' in-root "$rootdir" "$mode" "$src" "$propagation" "$@"
}

[ $# -ge 2 ] || usage
[ "$(id -u)" -eq 0 ] || {
	echo "$0: needs root (namespaces, debootstrap)" >&2
	exit 1
}
command=$1 suite=$2
shift 2
case $command in
make)
	make_root "$suite"
	;;
run)
	[ $# -ge 1 ] || usage
	make_root "$suite"
	exec 9>&-
	TALLOWMERE_HOST_SUITE=$suite in_root "$cache/$suite/root" overlay /bin/bash -c 'cd "$0" && exec "$@"' "$src" "$@"
	;;
*)
	usage
	;;
esac
