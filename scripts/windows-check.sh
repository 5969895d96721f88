#!/usr/bin/env bash
# Windows check: cross-builds tiloran_server.exe and zenvo_tiloran_worker.exe
# with Debian's MinGW-w64 toolchain, the worker's libraries cross-built from
# Debian's source packages by scripts/build-windows-deps.sh (cached outside the
# build directory), and runs the Windows tests under Wine.
#   scripts/windows-check.sh [--prepare] [BUILD_DIR]   (default: build-windows)
#     --prepare  only install the packages and fetch cpp-httplib's source, so
#                that the check itself later changes nothing on the system
# Everything else it makes (cpp-httplib's source, GoogleTest built for
# Windows, the libraries' notices, the installer, the Wine prefix) stays
# inside BUILD_DIR. When the toolchain, Wine or
# a source package (cpp-httplib's, or one of the worker's libraries') cannot be
# had, the check is skipped with a loud notice and exit code 0; any other
# failure fails the check.
set -euo pipefail
cd "$(dirname "$0")/.."
prepare_only=0
if [ "${1:-}" = --prepare ]; then
	prepare_only=1
	shift
fi
source_dir="$(pwd)"
build_dir="$(realpath -m "${1:-build-windows}")"
third_party="$build_dir/third_party"
toolchain_file="$source_dir/cmake/mingw-w64-x86_64.cmake"

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"

skip() {
	echo "############################################################"
	echo "## WINDOWS CHECK SKIPPED: $1"
	echo "## tiloran_server.exe was NOT built and the Windows tests did NOT run."
	echo "############################################################"
	exit 0
}

is_installed() {
	dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

# The cross compiler, Wine, GoogleTest's sources, what apt-get source needs,
# what the libraries' build needs (scripts/build-windows-deps.sh), the Linux
# SRT listener and ffprobe of the stream test, and makensis for the installer.
packages=(g++-mingw-w64-x86-64-posix wine64 googletest libcpp-httplib-dev nlohmann-json3-dev dpkg-dev
	mingw-w64-x86-64-dev libz-mingw-w64-dev nasm cmake ninja-build pkg-config srt-tools ffmpeg python3 nsis)
missing=()
for package in "${packages[@]}"; do
	is_installed "$package" || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
	echo "== installing ${missing[*]}"
	$sudo apt-get update -qq || skip "apt-get update failed"
	DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" \
		|| skip "could not install ${missing[*]}"
fi

wine64="$(dpkg -L wine64 | grep '/wine64$' | head -n 1 || true)"
wineserver="$(dpkg -L wine64 | grep '/wineserver64$' | head -n 1 || true)"
[ -x "$wine64" ] && [ -x "$wineserver" ] || skip "the wine64 package has no wine64/wineserver64 launcher"

# cpp-httplib: the full single header of the same version as the system's
# library, from Debian's source package (the binary package ships it split into
# a header and a Linux shared library).
httplib_version="$(dpkg-query -W -f='${Version}' libcpp-httplib-dev)"
httplib_dir="$third_party/cpp-httplib-$httplib_version"
if [ ! -f "$httplib_dir/httplib.h" ]; then
	if ! grep -rqsE '^(deb-src|Types:.*deb-src)' /etc/apt/sources.list /etc/apt/sources.list.d/; then
		echo "== enabling Debian source packages (deb-src)"
		if [ -f /etc/apt/sources.list.d/debian.sources ]; then
			sed -e 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources \
				| $sudo tee /etc/apt/sources.list.d/debian-src.sources >/dev/null
		elif grep -qs '^deb ' /etc/apt/sources.list; then
			sed -n -e 's/^deb /deb-src /p' /etc/apt/sources.list \
				| $sudo tee /etc/apt/sources.list.d/debian-src.list >/dev/null
		else
			skip "no Debian package source to derive deb-src entries from"
		fi
		$sudo apt-get update -qq || skip "apt-get update failed after enabling deb-src"
	fi
	download_dir="$third_party/cpp-httplib-source"
	rm -rf "$download_dir" && mkdir -p "$download_dir"
	echo "== fetching Debian's cpp-httplib $httplib_version source package"
	(cd "$download_dir" && apt-get source -qq "cpp-httplib=$httplib_version" >/dev/null 2>&1) \
		|| skip "apt-get source cpp-httplib=$httplib_version failed"
	header="$(find "$download_dir" -maxdepth 2 -name httplib.h | head -n 1)"
	[ -n "$header" ] || { echo "no httplib.h in the cpp-httplib source package" >&2; exit 1; }
	mkdir -p "$httplib_dir" && cp "$header" "$httplib_dir/httplib.h"
	rm -rf "$download_dir"
fi
[ "$prepare_only" -eq 0 ] || exit 0

# nlohmann/json is header-only: its headers and CMake package, staged apart from
# the host's /usr/include, which must not reach the cross compiler.
json_dir="$third_party/nlohmann-json"
if [ ! -f "$json_dir/share/cmake/nlohmann_json/nlohmann_jsonConfig.cmake" ]; then
	mkdir -p "$json_dir/include" "$json_dir/share/cmake/nlohmann_json"
	ln -sfn /usr/include/nlohmann "$json_dir/include/nlohmann"
	cp /usr/share/cmake/nlohmann_json/*.cmake "$json_dir/share/cmake/nlohmann_json/"
fi

# GoogleTest from Debian's sources, built with the same toolchain.
googletest_dir="$third_party/googletest"
if [ ! -f "$googletest_dir/lib/cmake/GTest/GTestConfig.cmake" ]; then
	echo "== building GoogleTest for Windows"
	cmake -S /usr/src/googletest -B "$third_party/googletest-build" -DCMAKE_TOOLCHAIN_FILE="$toolchain_file" \
		-DCMAKE_BUILD_TYPE=Release -DBUILD_GMOCK=OFF -DCMAKE_INSTALL_PREFIX="$googletest_dir" >/dev/null
	cmake --build "$third_party/googletest-build" -j 2 >/dev/null
	cmake --install "$third_party/googletest-build" >/dev/null
	rm -rf "$third_party/googletest-build"
fi

# FFmpeg, x264, libsrt and the rest for Windows, built once into their cache.
deps_status=0
scripts/build-windows-deps.sh --prefix-file "$build_dir/windows-deps-prefix" --notices "$build_dir/notices" \
	|| deps_status=$?
[ "$deps_status" -ne 3 ] || skip "a source package of the worker's libraries cannot be fetched"
[ "$deps_status" -eq 0 ] || exit "$deps_status"
windows_deps="$(cat "$build_dir/windows-deps-prefix")"

echo "== cross-building tiloran_server.exe and zenvo_tiloran_worker.exe"
cmake -S . -B "$build_dir" -DCMAKE_TOOLCHAIN_FILE="$toolchain_file" -DCMAKE_BUILD_TYPE=Release \
	-DTILORAN_WERROR=ON -DTILORAN_BUILD_BENCHMARKS=OFF -DTILORAN_WINDOWS_DEPS="$windows_deps" \
	-DTILORAN_HTTPLIB_INCLUDE_DIR="$httplib_dir" \
	-Dnlohmann_json_DIR="$json_dir/share/cmake/nlohmann_json" \
	-DGTest_DIR="$googletest_dir/lib/cmake/GTest" \
	-DTILORAN_WINE64="$wine64" -DTILORAN_WINDOWS_NOTICES="$build_dir/notices" >/dev/null
cmake --build "$build_dir" -j 2

# Wine: a prefix of our own inside the build directory, no desktop, no
# downloads of Mono or Gecko, no menu entries written to the home directory,
# one wineserver kept for the whole run.
export WINEPREFIX="$build_dir/wine-prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe="
export WINEARCH=win64
unset DISPLAY
"$wineserver" -k 2>/dev/null || true
trap '"$wineserver" -k 2>/dev/null || true' EXIT
if [ ! -f "$WINEPREFIX/system.reg" ]; then
	echo "== creating the Wine prefix"
fi
mkdir -p "$WINEPREFIX"
"$wineserver" -p
# wineboot complains about the missing 32-bit half; only the prefix matters,
# and a broken one fails the tests.
"$wine64" wineboot.exe --init >/dev/null 2>&1 || true

echo "== Windows tests (under Wine)"
# Some tests start tiloran_server.exe on port 3000, shared with the Linux tests
# that others may be running by hand.
run_tests() {
	flock -o /tmp/tiloran-port3000.lock ctest --test-dir "$build_dir" --output-on-failure -j 2 "$@"
}
tests_log="$build_dir/Testing/windows-tests.log"
tests_xml="$build_dir/Testing/windows-tests.xml"
mkdir -p "$build_dir/Testing"
tests_status=0
run_tests --output-junit "$tests_xml" 2>&1 | tee "$tests_log" || tests_status=$?
[ "$tests_status" -ne 0 ] || exit 0

# Wine itself, rarely, ends a program before it has printed anything: its
# test fails at once without a line of output. Such a test alone is run once
# more; any other failure (with output, or a timeout) counts as it is. The
# script prints the silent failures as a pattern for ctest -R, then the others.
failures="$(python3 - "$tests_log" "$tests_xml" <<'EOF'
import re, sys, xml.etree.ElementTree as tree
log, results = sys.argv[1:3]
summary = open(log).read().split("The following tests FAILED:")[-1]
failed = re.findall(r"^\s*\d+ - (.+) \((.+)\)$", summary, re.M)
try:
    output = {case.get("name"): case.findtext("system-out") or "" for case in tree.parse(results).iter("testcase")}
except (OSError, tree.ParseError):
    output = {}
silent = [name for name, status in failed if status != "Timeout" and name in output and not output[name].strip()]
others = [f"{name} ({status})" for name, status in failed if name not in silent]
print("^(" + "|".join(re.escape(name) for name in silent) + ")$" if silent else "")
print(", ".join(others) if others or silent else "ctest itself")
EOF
)"
silent_pattern="$(sed -n 1p <<<"$failures")"
other_failures="$(sed -n 2p <<<"$failures")"
if [ -n "$other_failures" ]; then
	echo "== Windows tests failed: $other_failures"
	exit 1
fi
echo "== run once more, having failed without any output: $silent_pattern"
run_tests -R "$silent_pattern"
