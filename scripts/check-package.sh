#!/usr/bin/env bash
# Package check: what a station gets from the Debian package of
# scripts/package.sh, without touching this machine's own system.
#   scripts/check-package.sh PACKAGE.deb
#
# 1. The package: its name, its version (the one the programs show), a
#    dependency for every shared library the programs load, and its file list
#    (nothing more, nothing less than the install rules name).
# 2. A throw-away root: this machine's root file system under an overlay whose
#    changes live in memory, in mount, network and process namespaces of their
#    own, so that nothing reaches the real system, its port 3000 or its
#    processes. In it: apt-get install of the package (the maintainer scripts
#    create the service's user and state directory, a self-signed certificate
#    and enable the unit), the
#    unit checked by systemd-analyze (verify, and its exposure to the system),
#    the server started as the unit starts it (its user, working directory,
#    environment, umask, no new privileges; plus one test-pattern input) and
#    asked over HTTPS, verified against that certificate, for /api/health, the page and the version, and a stream from the
#    installed worker to a local SRT listener; then apt-get remove, which must
#    stop server and worker in order so that no process of the package is
#    left, and purge, which must leave none of its files.
# systemd does not run in the throw-away root (nor, on a build machine that is
# a container, at all), so the unit is not started by systemd: the maintainer
# scripts take their path for that case, and the unit's settings are applied
# by hand as far as they concern the program.
#
# Needs root (mounts and namespaces); without it the check is skipped with a
# loud notice. The console output of the server and of apt-get goes to
# check-logs/ beside the package.
set -euo pipefail
cd "$(dirname "$0")/.."

fail() {
	echo "package check: FAILED: $*" >&2
	exit 1
}
say() { echo "[package check] $*"; }

# --- 2. Inside the namespaces (the script calls itself there) -------------------
if [ "${1:-}" = "--in-namespaces" ]; then
	deb=$2 work=$3 logs=$4 source_dir=$5 file_list=$6
	root=$work/root
	mount -t tmpfs -o mode=0755 tmpfs "$work"
	mkdir "$work/upper" "$work/overlay-work" "$root"
	mount -t overlay overlay -o "lowerdir=/,upperdir=$work/upper,workdir=$work/overlay-work" "$root"
	mount -t proc proc "$root/proc"
	mount --rbind /dev "$root/dev"
	# Fresh /tmp and /run: no /run/systemd/system, so the maintainer scripts
	# neither start nor stop the unit through systemd, as in a chroot.
	mount -t tmpfs tmpfs "$root/tmp"
	mount -t tmpfs -o mode=0755 tmpfs "$root/run"
	ip link set lo up

	in_root() {
		chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive "$@"
	}
	cp "$deb" "$root/tmp/"
	package_file=/tmp/$(basename "$deb")

	say "apt-get install $(basename "$deb") in the throw-away root"
	in_root apt-get install -y --no-install-recommends "$package_file" >"$logs/apt-install.log" 2>&1 || {
		cat "$logs/apt-install.log" >&2
		fail "apt-get install failed"
	}
	[ "$(in_root dpkg-query -W -f='${Status}' tiloran)" = "install ok installed" ] || fail "dpkg does not list tiloran as installed"

	unit=/usr/lib/systemd/system/tiloran.service
	unit_value() {
		sed -n "s/^$1=//p" "$root$unit"
	}
	user=$(unit_value User)
	state_dir=/var/lib/$(unit_value StateDirectory)
	[ -n "$user" ] || fail "the unit names no User="

	# The maintainer scripts: the user, its state directory, the unit enabled.
	passwd_entry=$(in_root getent passwd "$user") || fail "postinst created no user $user"
	IFS=: read -r _ _ uid _ _ home shell <<<"$passwd_entry"
	[ "$uid" -lt 1000 ] || fail "user $user is no system user (uid $uid)"
	[ "$home" = "$state_dir" ] || fail "user $user has the home $home, not $state_dir"
	[ "$shell" = /usr/sbin/nologin ] || fail "user $user has the shell $shell, not /usr/sbin/nologin"
	state_dir_owner=$(in_root stat -c "%U %a" "$state_dir") || fail "postinst created no $state_dir"
	[ "$state_dir_owner" = "$user 750" ] || fail "$state_dir has the owner and mode $state_dir_owner, not $user 750"
	wanted_link=$root/etc/systemd/system/multi-user.target.wants/tiloran.service
	# (deb-systemd-helper names the unit by its path under /lib, the same
	# directory as /usr/lib on Debian 12.)
	[ "$(in_root readlink -f "${wanted_link#"$root"}")" = "$(in_root readlink -f "$unit")" ] ||
		fail "the unit is not enabled (no $wanted_link pointing at $unit)"
	say "postinst: system user $user (uid $uid, home $home), $state_dir, tiloran.service enabled for multi-user.target"

	# The certificate: the service's user alone reads the key, the pair
	# belongs together, and it is valid now and for a good while.
	tls_dir=$state_dir/KV_TILORAN/Encoder/tls
	certificate=$root$tls_dir/server.crt
	key_owner=$(in_root stat -c "%U %a" "$tls_dir/server.key") || fail "postinst made no $tls_dir/server.key"
	[ "$key_owner" = "$user 600" ] || fail "$tls_dir/server.key has the owner and mode $key_owner, not $user 600"
	openssl x509 -in "$certificate" -noout -checkend $((365 * 86400)) >/dev/null ||
		fail "$tls_dir/server.crt is no certificate valid for a year from now"
	[ "$(openssl x509 -in "$certificate" -noout -pubkey)" = "$(openssl pkey -in "$root$tls_dir/server.key" -pubout)" ] ||
		fail "$tls_dir/server.key is not the key of $tls_dir/server.crt"
	openssl x509 -in "$certificate" -noout -ext subjectAltName | grep -q "IP Address:127.0.0.1" ||
		fail "$tls_dir/server.crt does not name 127.0.0.1"
	say "postinst: $tls_dir/server.crt ($(openssl x509 -in "$certificate" -noout -subject -enddate | tr '\n' ' ')), key $key_owner"
	# A second configure keeps the certificate it finds.
	fingerprint=$(openssl x509 -in "$certificate" -noout -fingerprint -sha256)
	in_root /var/lib/dpkg/info/tiloran.postinst configure >/dev/null 2>&1 || fail "postinst configure failed the second time"
	[ "$(openssl x509 -in "$certificate" -noout -fingerprint -sha256)" = "$fingerprint" ] ||
		fail "a second postinst configure replaced the certificate"

	say "systemd-analyze verify $unit"
	in_root systemd-analyze verify "$unit" >"$logs/systemd-analyze-verify.log" 2>&1 || {
		cat "$logs/systemd-analyze-verify.log" >&2
		fail "systemd-analyze verify found faults in the unit"
	}
	[ ! -s "$logs/systemd-analyze-verify.log" ] || {
		cat "$logs/systemd-analyze-verify.log" >&2
		fail "systemd-analyze verify complained about the unit"
	}
	# The hardening: systemd's own rating, 0 (nothing exposed) to 10. The
	# unit is rated 1.7 with systemd 252; 3.0 leaves room for other versions'
	# weights and fails when a protection is lost.
	in_root systemd-analyze security --offline=yes --threshold=30 "$unit" >"$logs/systemd-analyze-security.log" 2>&1 || {
		cat "$logs/systemd-analyze-security.log" >&2
		fail "systemd-analyze security rates the unit's exposure above 3.0"
	}
	say "systemd-analyze security: $(grep -o 'Overall exposure level.*' "$logs/systemd-analyze-security.log")"

	# The server as the unit starts it, with one small test-pattern input
	# added (as the README's drop-in does) so that a stream runs without a
	# capture card.
	working_dir=$(unit_value WorkingDirectory)
	exec_start=$(unit_value ExecStart)
	umask_value=$(unit_value UMask)
	environment=()
	while read -r assignment; do
		environment+=("${assignment//%S//var/lib}")
	done < <(unit_value Environment)
	[ -x "$root$exec_start" ] || fail "ExecStart=$exec_start is no installed program"
	[ -d "$root$working_dir/WEB" ] || fail "WorkingDirectory=$working_dir holds no WEB/"
	as_service() {
		chroot "$root" setpriv --reuid="$user" --regid="$user" --init-groups --no-new-privs \
			env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME="$home" USER="$user" LOGNAME="$user" "${environment[@]}" \
			sh -c 'cd "$1" && umask "$2" && shift 2 && exec "$@"' sh "$working_dir" "$umask_value" "$@"
	}
	# Access is on: the check calls as an operator, with a token made by the
	# installed server's own command line as the service's user.
	token=$(as_service "$(dirname "$exec_start")/tiloran_server" --add-token package-check --role operator |
		grep -x 'tlr_[0-9a-f]*') || fail "tiloran_server --add-token made no token"
	https() {
		curl -sS --max-time 20 --cacert "$certificate" -H "Authorization: Bearer $token" "$@"
	}
	say "starting $exec_start as $user in $working_dir with ${environment[*]}"
	as_service "$exec_start" --test-inputs=1:320x180p25 >"$logs/server.log" 2>&1 &
	server_pid=$!
	server_failed() {
		echo "--- server console:" >&2
		cat "$logs/server.log" >&2
		fail "$@"
	}
	answer=""
	for _ in $(seq 600); do
		kill -0 "$server_pid" 2>/dev/null || server_failed "the server ended at start-up"
		answer=$(https --max-time 5 https://127.0.0.1:3000/api/health 2>/dev/null) && break
		sleep 0.1
	done
	[ "$answer" = '{"status":"ok","service":"tiloran-server"}' ] || server_failed "GET /api/health answered '$answer'"
	say "GET /api/health over HTTPS: $answer"
	grep -qxF "[Server] HTTPS with the certificate $tls_dir/server.crt" "$logs/server.log" ||
		server_failed "the server does not use the certificate $tls_dir/server.crt"

	# Every file of the page, its modules included, as it lies in WEB/.
	(cd "$source_dir/WEB" && find . -type f -printf '%P\n') >"$work/page-files"
	while read -r page; do
		path=/$page
		[ "$page" = index.html ] && path=/
		https -f "https://127.0.0.1:3000$path" -o "$work/page" || server_failed "GET $path failed"
		cmp -s "$work/page" "$source_dir/WEB/$page" || server_failed "GET $path is not WEB/$page"
	done <"$work/page-files"
	say "GET / and the page's $(wc -l <"$work/page-files") files: the files of WEB/"

	config_file=$state_dir/KV_TILORAN/Encoder/worker_config.json
	grep -qxF "[ConfigManager] Worker config path: $config_file" "$logs/server.log" ||
		server_failed "the worker configuration file is not in the state directory $state_dir"

	# A stream to a local SRT listener: the server must find the worker beside
	# itself, and the worker must run as the service's user.
	srt_port=9000
	srt-live-transmit "srt://127.0.0.1:$srt_port?mode=listener" file://con >"$work/recording.ts" 2>"$logs/srt-listener.log" &
	listener_pid=$!
	port_pattern=$(printf ':%04X ' "$srt_port")
	for _ in $(seq 600); do
		grep -q "$port_pattern" /proc/net/udp && break
		kill -0 "$listener_pid" 2>/dev/null || fail "the SRT listener ended at start-up: $(cat "$logs/srt-listener.log")"
		sleep 0.1
	done
	request='{"srtHostPort": "127.0.0.1:'$srt_port'", "videoBitrate": 1, "audioBitrate": 64, "codec": "libx264",
		"quadrants": [{"id": 1, "name": "Input 1", "source_id": "test-1"}]}'
	answer=$(https -X POST -H 'Content-Type: application/json' --data "$request" \
		https://127.0.0.1:3000/api/stream/start) || server_failed "POST /api/stream/start failed"
	[[ "$answer" == *'"started"'* ]] || server_failed "POST /api/stream/start answered '$answer'"
	worker_dir=$(dirname "$(readlink -f "$root$exec_start")")
	worker_dir=${worker_dir#"$root"}
	grep -qxF "[WorkerSupervisor] Worker started: $worker_dir/zenvo_tiloran_worker" "$logs/server.log" ||
		server_failed "the server did not start the worker beside it ($worker_dir/zenvo_tiloran_worker)"
	for _ in $(seq 600); do
		[ -s "$work/recording.ts" ] && break
		kill -0 "$server_pid" 2>/dev/null || server_failed "the server ended while the stream started"
		sleep 0.1
	done
	[ -s "$work/recording.ts" ] || server_failed "nothing of the stream reached the SRT listener"
	config_owner=$(in_root stat -c "%U %a" "$config_file") || server_failed "no $config_file after a stream start"
	# It holds the SRT passphrase: nobody but the service's user (and group) may read it.
	[[ "$config_owner" == "$user "[0-7][0-7]0 ]] || server_failed "$config_file has the owner and mode $config_owner"
	say "stream started: $worker_dir/zenvo_tiloran_worker streams to the SRT listener; $config_file ($config_owner)"

	# One version, from one place: the banner, the client configuration, the package.
	banner_version=$(sed -n 's/^  Server v\(.*\) - HTTP API$/\1/p' "$logs/server.log")
	config_version=$(https https://127.0.0.1:3000/api/config | sed -n 's/^ *"title": "TILORAN - Quad SDI Encoder(\(.*\))"$/\1/p')
	package_version=$(in_root dpkg-query -W -f='${Version}' tiloran)
	expected_package_version=$(echo "$banner_version" | tr 'A-Z ' 'a-z~')
	[ -n "$banner_version" ] && [ "$config_version" = "$banner_version" ] && [ "$package_version" = "$expected_package_version" ] ||
		server_failed "versions differ: banner '$banner_version', client configuration '$config_version', package '$package_version'"
	say "version: banner '$banner_version', client configuration '$config_version', package '$package_version'"

	say "apt-get remove tiloran, with the server and its worker streaming"
	in_root apt-get remove -y tiloran >"$logs/apt-remove.log" 2>&1 || {
		cat "$logs/apt-remove.log" >&2
		fail "apt-get remove failed"
	}
	# The prerm script stops the server: it must be gone already.
	kill -0 "$server_pid" 2>/dev/null && server_failed "the server still runs after apt-get remove"
	server_status=0
	wait "$server_pid" || server_status=$?
	[ "$server_status" -eq 0 ] || server_failed "the server ended with exit code $server_status after apt-get remove"
	grep -qxF "[Server] Shutdown complete." "$logs/server.log" || server_failed "the server did not shut down in order"
	grep -qxF "[Worker] Stopped on request" "$logs/server.log" || server_failed "the worker did not stop in order"
	for process in /proc/[0-9]*; do
		exe=$(readlink "$process/exe" 2>/dev/null) || continue
		case "$exe" in
		*tiloran*) fail "a process of the package is left after apt-get remove: ${process#/proc/} $exe" ;;
		esac
	done
	say "removed: the server and its worker stopped in order (exit code 0), no process of the package left"
	kill "$listener_pid"
	wait "$listener_pid" || true

	say "apt-get purge tiloran"
	in_root apt-get purge -y tiloran >"$logs/apt-purge.log" 2>&1 || {
		cat "$logs/apt-purge.log" >&2
		fail "apt-get purge failed"
	}
	while read -r path; do
		[ -d "$root$path" ] && continue
		if [ -e "$root$path" ] || [ -L "$root$path" ]; then
			fail "$path is left after apt-get purge"
		fi
	done <"$file_list"
	left=$(cd "$root" && find etc/systemd var/lib/tiloran -name '*tiloran*' 2>/dev/null || true)
	[ -z "$left" ] || fail "left after apt-get purge: $left"
	say "purged: none of the package's files, its state directory or its unit links left"
	exit 0
fi

# --- 1. The package -------------------------------------------------------------
deb=$(realpath "${1:?usage: scripts/check-package.sh PACKAGE.deb}")
[ -f "$deb" ] || fail "no package $deb"
source_dir=$(pwd)
if [ "$(id -u)" -ne 0 ]; then
	echo "############################################################"
	echo "## PACKAGE CHECK SKIPPED: it needs root (mounts, namespaces)"
	echo "## $deb was NOT installed or checked."
	echo "############################################################"
	exit 0
fi

logs=$(dirname "$deb")/check-logs
rm -rf "$logs"
mkdir -p "$logs"
tmp=$(mktemp -d "${TMPDIR:-/tmp}/tiloran-package-check.XXXXXX")
trap 'rm -rf "$tmp"' EXIT

[ "$(dpkg-deb -f "$deb" Package)" = tiloran ] || fail "the package is not called tiloran"
[ "$(dpkg-deb -f "$deb" Architecture)" = "$(dpkg --print-architecture)" ] || fail "the package is not for $(dpkg --print-architecture)"
depends=$(dpkg-deb -f "$deb" Depends)
say "$(basename "$deb"): version $(dpkg-deb -f "$deb" Version), $(stat -c %s "$deb") bytes"
say "Depends: $depends"

# Every file and link, as the install rules make them (WEB/ as in the source
# tree); the licences of the libraries compiled in are optional, since a
# machine without documentation files has none to copy.
dpkg-deb -c "$deb" >"$tmp/contents"
awk '{ path = $6; sub(/^\./, "", path); if ($1 !~ /^d/) print path }' "$tmp/contents" | sort >"$tmp/file-list"
{
	printf '%s\n' /usr/bin/tiloran_server /usr/libexec/tiloran/tiloran_server /usr/libexec/tiloran/zenvo_tiloran_worker \
		/usr/libexec/tiloran/tiloran-service-start \
		/usr/lib/systemd/system/tiloran.service \
		/usr/share/doc/tiloran/README.md /usr/share/doc/tiloran/LICENSE /usr/share/doc/tiloran/copyright
	(cd WEB && find . -type f | sed 's|^\.|/usr/share/tiloran/WEB|')
} | sort >"$tmp/expected-files"
grep -v '^/usr/share/doc/tiloran/third-party/[a-z-]*\.copyright$' "$tmp/file-list" >"$tmp/checked-files" || true
diff -u "$tmp/expected-files" "$tmp/checked-files" >&2 || fail "the file list differs from the expected one (- expected, + in the package)"
link=$(awk '$6 == "./usr/bin/tiloran_server" { print $8 }' "$tmp/contents")
[ "$link" = ../libexec/tiloran/tiloran_server ] || fail "/usr/bin/tiloran_server is no link to ../libexec/tiloran/tiloran_server"
for program in tiloran_server zenvo_tiloran_worker tiloran-service-start; do
	grep -q "^-rwxr-xr-x root/root .* \./usr/libexec/tiloran/$program$" "$tmp/contents" ||
		fail "/usr/libexec/tiloran/$program is not an executable owned by root"
done
dpkg-deb --ctrl-tarfile "$deb" | tar -tvf - >"$tmp/control-contents"
for script in postinst prerm postrm; do
	grep -q "^-rwxr-xr-x .* \./$script$" "$tmp/control-contents" || fail "the package has no executable $script"
done
say "file list: $(wc -l <"$tmp/file-list") files and links, as expected"

# A dependency for each shared library the programs load.
dpkg-deb -x "$deb" "$tmp/extracted"
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
while read -r soname; do
	owner=$(dpkg -S "*/$multiarch/$soname" 2>/dev/null | head -n 1 | sed 's/[:,].*//')
	[ -n "$owner" ] || fail "no installed package holds $soname"
	[[ ", $depends," == *", $owner "* || ", $depends," == *", $owner,"* ]] || fail "$soname ($owner) is not among the dependencies"
done < <(objdump -p "$tmp/extracted/usr/libexec/tiloran/tiloran_server" "$tmp/extracted/usr/libexec/tiloran/zenvo_tiloran_worker" |
	awk '$1 == "NEEDED" { print $2 }' | sort -u)
say "every shared library of the two programs comes with a dependency"

mkdir "$tmp/namespaces"
unshare --mount --net --pid --fork --mount-proc \
	bash "$0" --in-namespaces "$deb" "$tmp/namespaces" "$logs" "$source_dir" "$tmp/file-list"
say "passed"
