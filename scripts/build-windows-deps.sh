#!/usr/bin/env bash
# Cross-builds the worker's libraries for Windows x64 with Debian's MinGW-w64
# toolchain, from Debian 12's own source packages (apt-get source): x264,
# FFmpeg (with NVENC through nv-codec-headers), mbedtls, libsrt and libyuv.
#   scripts/build-windows-deps.sh [--prefix-file FILE] [--notices DIR]
#     --prefix-file FILE  write the directory the libraries are gathered in
#                         (the toolchain file's TILORAN_WINDOWS_DEPS) to FILE
#     --notices DIR       also copy each library's licence and copyright
#                         files into DIR, with the source package and version
#                         it came from (SOURCES.txt)
# Each library is built once into a cache outside the source tree,
#   ${TILORAN_WINDOWS_DEPS_CACHE:-~/.cache/tiloran/windows-deps}/LIBRARY-VERSION-KEY
# where KEY is a hash of the source package's version, the configure options,
# the toolchain's version and the keys of the libraries it is built on: a second
# run with the same inputs reuses it, a changed input builds it anew beside it.
# The set of all of them is gathered (symbolic links) in windows-x64-KEY; the
# libraries' own directories lie beside it. Each build logs to build.log and
# records its duration in build-seconds.
# The newest version apt knows is built; when the package mirror does not
# serve its source (security updates may be missing there), the next older
# one, with a loud notice. Nothing prebuilt is downloaded: only Debian's
# source packages (and, for NVENC's headers alone, see below).
# Exit code 3: no version of a library's source could be fetched.
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir="$(pwd)"

prefix_file=""
notices_dir=""
while [ $# -gt 0 ]; do
	case "$1" in
	--prefix-file) prefix_file="$(realpath -m "$2")"; shift ;;
	--notices) notices_dir="$(realpath -m "$2")"; shift ;;
	*) echo "usage: $0 [--prefix-file FILE] [--notices DIR]" >&2; exit 2 ;;
	esac
	shift
done

cache_dir="${TILORAN_WINDOWS_DEPS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/tiloran/windows-deps}"
jobs=2 # the machines this runs on are shared
host=x86_64-w64-mingw32
cc=$host-gcc-posix
cxx=$host-g++-posix
toolchain_file="$source_dir/cmake/mingw-w64-x86_64.cmake"

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
is_installed() {
	dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}
packages=(g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev libz-mingw-w64-dev nasm cmake ninja-build pkg-config dpkg-dev)
missing=()
for package in "${packages[@]}"; do
	is_installed "$package" || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
	$sudo apt-get update -qq
	DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The versions of a source package that apt knows, newest first.
source_versions() {
	local versions=() sorted=() version index
	mapfile -t versions < <(apt-cache showsrc --only-source "$1" 2>/dev/null | sed -n 's/^Version: //p' | sort -u)
	for version in "${versions[@]}"; do
		index=0
		while [ "$index" -lt ${#sorted[@]} ] && dpkg --compare-versions "${sorted[$index]}" gt "$version"; do
			index=$((index + 1))
		done
		sorted=("${sorted[@]:0:$index}" "$version" "${sorted[@]:$index}")
	done
	[ ${#sorted[@]} -eq 0 ] || printf '%s\n' "${sorted[@]}"
}

toolchain_version="$($cc -dumpfullversion 2>/dev/null || echo none) $(dpkg-query -W -f='${Version}' mingw-w64-x86-64-dev 2>/dev/null || echo none)"
# Raised when the steps below change in a way the options do not show.
recipe=1

# What each library is configured with; part of its key.
x264_options=(--host=$host --cross-prefix=$host- --enable-static --disable-cli --disable-opencl
	--disable-avs --disable-swscale --disable-lavf --disable-ffms --disable-gpac --disable-lsmash
	--bit-depth=8 --chroma-format=all)
mbedtls_options=(-DCMAKE_BUILD_TYPE=Release -DENABLE_TESTING=OFF -DENABLE_PROGRAMS=OFF
	-DUSE_STATIC_MBEDTLS_LIBRARY=ON -DUSE_SHARED_MBEDTLS_LIBRARY=OFF -DMBEDTLS_FATAL_WARNINGS=OFF)
srt_options=(-DCMAKE_BUILD_TYPE=Release -DENABLE_STDCXX_SYNC=ON -DENABLE_ENCRYPTION=ON -DUSE_ENCLIB=mbedtls
	-DENABLE_SHARED=OFF -DENABLE_STATIC=ON -DENABLE_APPS=OFF -DENABLE_EXAMPLES=OFF -DENABLE_UNITTESTS=OFF
	-DENABLE_LOGGING=ON -DENABLE_HEAVY_LOGGING=OFF)
libyuv_options=(-DCMAKE_BUILD_TYPE=Release -DUNIT_TEST=OFF)
# FFmpeg: just what the worker uses (test patterns through the lavfi device and
# the filters of their graph, the encoders, the MPEG-TS muxer, swscale and
# swresample), NVENC, shared libraries with x264 inside libavcodec. The MinGW
# runtime is linked in (libavutil would otherwise load libwinpthread-1.dll for
# nanosleep), so that only FFmpeg's own DLLs travel with the worker.
ffmpeg_components=(
	--enable-indev=lavfi
	--enable-filter=testsrc2,format,interlace,drawbox,trim,realtime,sine,join,channelmap,aformat,atrim,buffer,buffersink,abuffer,abuffersink,scale,aresample,null,anull,setpts,asetpts
	--enable-encoder=libx264,aac,mjpeg,h264_nvenc
	--enable-decoder=rawvideo,wrapped_avframe,pcm_s16le,h264,aac,mjpeg
	--enable-parser=h264,aac,mjpeg
	--enable-muxer=mpegts,mjpeg,image2
	--enable-demuxer=mpegts,mjpeg,image2
	--enable-bsf=h264_mp4toannexb,aac_adtstoasc
	--enable-protocol=file,pipe,udp,tcp
)
ffmpeg_options=(--arch=x86_64 --target-os=mingw32 --cross-prefix=$host- --cc=$cc --cxx=$cxx
	--pkg-config=pkg-config --pkg-config-flags=--static
	--enable-gpl --enable-shared --disable-static --disable-programs --disable-doc --disable-debug
	--disable-autodetect --enable-w32threads --enable-ffnvcodec --enable-nvenc --enable-libx264
	--disable-postproc --disable-everything "${ffmpeg_components[@]}"
	--extra-ldflags=-static-libgcc --extra-libs=-Wl,-Bstatic,-lwinpthread,-Bdynamic)

key_of() {
	printf '%s\n' "$@" "$toolchain_version" "recipe $recipe" | sha256sum | cut -c1-12
}

# The key of a library in a version; the libraries it is built on are
# resolved before it.
key_for() { # LIBRARY VERSION
	case "$1" in
	nv-codec-headers) key_of "$2" ;;
	x264) key_of "$2" "${x264_options[@]}" ;;
	ffmpeg) key_of "$2" "${ffmpeg_options[@]}" "${key[x264]}" "${key[nv-codec-headers]}" ;;
	mbedtls) key_of "$2" "${mbedtls_options[@]}" ;;
	srt) key_of "$2" "${srt_options[@]}" "${key[mbedtls]}" ;;
	libyuv) key_of "$2" "${libyuv_options[@]}" ;;
	esac
}
libraries=(nv-codec-headers x264 ffmpeg mbedtls srt libyuv)
declare -A version key dir

mkdir -p "$cache_dir"
# One build at a time per cache, whichever worktree or CI run asks.
exec 8>"$cache_dir/.lock"
flock 8

# The pkg-config files of the libraries built so far, and none of the host's.
export PKG_CONFIG_LIBDIR=""
add_pkg_config_dir() {
	PKG_CONFIG_LIBDIR="$1/lib/pkgconfig${PKG_CONFIG_LIBDIR:+:$PKG_CONFIG_LIBDIR}"
}

# fetch LIBRARY VERSION WORK: unpacks Debian's source package (with Debian's
# patches) into WORK and prints the source tree's path.
fetch() {
	local library="$1" wanted="$2" work="$3"
	(cd "$work" && apt-get source -qq "$library=$wanted" >/dev/null 2>&1) || return 1
	find "$work" -mindepth 1 -maxdepth 1 -type d | head -n 1
}

cmake_cross() {
	local source="$1" build="$2" prefix="$3"
	shift 3
	cmake -S "$source" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain_file" \
		-DCMAKE_INSTALL_PREFIX="$prefix" -DTILORAN_WINDOWS_DEPS="$prefix" "$@"
	cmake --build "$build" -j "$jobs"
	cmake --install "$build"
}

# nv-codec-headers: NVENC's API headers, which FFmpeg loads the driver's DLL
# through at run time. The mirror here serves its .dsc but not its tarballs, so
# when apt-get source fails the same version's headers come from Debian's binary
# package built from that source (libffmpeg-nvenc-dev: headers and a pkg-config
# file, nothing compiled).
fetch_nv_codec_headers() { # VERSION WORK
	local wanted="$1" work="$2" binary
	if fetch nv-codec-headers "$wanted" "$work"; then
		return
	fi
	echo "!! apt-get source nv-codec-headers=$wanted failed; its headers come from libffmpeg-nvenc-dev" >&2
	rm -rf "${work:?}"/*
	(cd "$work" && apt-get download -qq "libffmpeg-nvenc-dev=$wanted" >/dev/null 2>&1) || return 1
	binary="$(find "$work" -maxdepth 1 -name 'libffmpeg-nvenc-dev_*.deb' | head -n 1)"
	[ -n "$binary" ] || return 1
	mkdir -p "$work/nv-codec-headers-binary" && dpkg-deb -x "$binary" "$work/nv-codec-headers-binary"
	echo "$work/nv-codec-headers-binary"
}

build_nv_codec_headers() { # SOURCE PREFIX
	if [ -f "$1/Makefile" ]; then
		make -C "$1" PREFIX="$2" install
		return
	fi
	mkdir -p "$2/include" "$2/lib/pkgconfig"
	cp -r "$1/usr/include/ffnvcodec" "$2/include/"
	sed -e "s|^prefix=.*|prefix=$2|" "$(find "$1/usr" -name ffnvcodec.pc | head -n 1)" >"$2/lib/pkgconfig/ffnvcodec.pc"
	mkdir -p "$1/debian" && cp "$1/usr/share/doc/libffmpeg-nvenc-dev/copyright" "$1/debian/copyright"
	echo "(headers taken from the binary package libffmpeg-nvenc-dev built from it)" >"$1/debian/taken-from"
}

build_x264() {
	(cd "$1" && ./configure --prefix="$2" "${x264_options[@]}" && make -j "$jobs" && make install)
}

build_ffmpeg() {
	(cd "$1" && ./configure --prefix="$2" "${ffmpeg_options[@]}" && make -j "$jobs" && make install)
}

build_mbedtls() {
	cmake_cross "$1" "$1/build-windows" "$2" "${mbedtls_options[@]}"
}

build_srt() {
	cmake_cross "$1" "$1/build-windows" "$2" "${srt_options[@]}" -DMBEDTLS_PREFIX="${dir[mbedtls]}"
}

# libyuv: only the static library (its install step would also install its
# tools, under names without the .exe the build gives them).
build_libyuv() {
	cmake -S "$1" -B "$1/build-windows" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain_file" \
		-DTILORAN_WINDOWS_DEPS="$2" "${libyuv_options[@]}"
	cmake --build "$1/build-windows" -j "$jobs" --target yuv
	mkdir -p "$2/include" "$2/lib"
	cp -r "$1/include/." "$2/include/"
	cp "$1/build-windows/libyuv.a" "$2/lib/"
}

# build LIBRARY: resolves its version and builds it into its cache directory
# unless it is there already.
build() {
	local library="$1" candidate prefix work started tree
	for candidate in $(source_versions "$library"); do
		version[$library]="$candidate"
		key[$library]="$(key_for "$library" "$candidate")"
		prefix="$cache_dir/$library-${candidate//:/_}-${key[$library]}"
		dir[$library]="$prefix"
		if [ -f "$prefix/.complete" ]; then
			echo "== $library $candidate: cached ($prefix)"
			add_pkg_config_dir "$prefix"
			return
		fi
		work="$(mktemp -d "$cache_dir/.work-$library-XXXXXX")"
		if declare -F "fetch_${library//-/_}" >/dev/null; then
			tree="$("fetch_${library//-/_}" "$candidate" "$work")" || tree=""
		else
			tree="$(fetch "$library" "$candidate" "$work")" || tree=""
		fi
		if [ -z "$tree" ]; then
			echo "!! the source of $library $candidate cannot be fetched here; trying the next older version" >&2
			rm -rf "$work"
			continue
		fi

		echo "== $library $candidate: building into $prefix (log: $prefix/build.log)"
		rm -rf "$prefix" && mkdir -p "$prefix"
		started=$(date +%s)
		if ! "build_${library//-/_}" "$tree" "$prefix" >"$prefix/build.log" 2>&1; then
			echo "!! $library failed; the end of its log:" >&2
			tail -n 40 "$prefix/build.log" >&2
			mv "$prefix/build.log" "$cache_dir/$library-failed.log"
			rm -rf "$work" "$prefix"
			exit 1
		fi
		echo $(($(date +%s) - started)) >"$prefix/build-seconds"
		# What the installer ships beside the libraries: their licence files.
		mkdir -p "$prefix/notice"
		cp "$tree/debian/copyright" "$prefix/notice/copyright"
		find "$tree" -maxdepth 1 \( -iname 'COPYING*' -o -iname 'LICENSE*' -o -iname 'LICENCE*' \) \
			-exec cp {} "$prefix/notice/" \;
		echo "$library $candidate" $(cat "$tree/debian/taken-from" 2>/dev/null) >"$prefix/notice/source-package"
		rm -rf "$work"
		touch "$prefix/.complete"
		add_pkg_config_dir "$prefix"
		echo "   built in $(cat "$prefix/build-seconds") s"
		return
	done
	echo "!! no source of $library can be fetched (apt knows: $(source_versions "$library" | tr '\n' ' '))" >&2
	exit 3
}

for library in "${libraries[@]}"; do
	build "$library"
done
set_key="$(for library in "${libraries[@]}"; do echo "${key[$library]}"; done | key_of "$(cat)")"
set_dir="$cache_dir/windows-x64-$set_key"

# The set: one directory with every library's files as symbolic links.
if [ ! -f "$set_dir/.complete" ]; then
	rm -rf "$set_dir" && mkdir -p "$set_dir"
	for library in "${libraries[@]}"; do
		cp -rsf "${dir[$library]}/." "$set_dir/"
	done
	rm -rf "$set_dir/notice" "$set_dir/.complete" "$set_dir/build.log" "$set_dir/build-seconds"
	{
		for library in "${libraries[@]}"; do
			echo "$library ${version[$library]} ${dir[$library]}"
		done
	} >"$set_dir/libraries"
	touch "$set_dir/.complete"
fi

# The notices of what the Windows build ships: each library's licence files
# and Debian's copyright file, and one list of the source packages.
if [ -n "$notices_dir" ]; then
	mkdir -p "$notices_dir"
	{
		echo "Built with MinGW-w64 ($toolchain_version) from Debian 12's source packages:"
		for library in x264 ffmpeg mbedtls srt libyuv nv-codec-headers; do
			mkdir -p "$notices_dir/$library"
			cp -r "${dir[$library]}/notice/." "$notices_dir/$library/"
			echo "  $(cat "${dir[$library]}/notice/source-package")"
		done
	} >"$notices_dir/SOURCES.txt"
fi

[ -z "$prefix_file" ] || echo "$set_dir" >"$prefix_file"
echo "== Windows libraries: $set_dir"
