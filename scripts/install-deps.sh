#!/usr/bin/env bash
# Installs what building, running and testing need, from Debian 12's packages.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  libcpp-httplib-dev nlohmann-json3-dev libgtest-dev libbenchmark-dev
  # The direct UYVY to NV12 conversion of captured pictures.
  libyuv-dev
  libavcodec-dev libavformat-dev libavdevice-dev libavutil-dev libswscale-dev
  ffmpeg srt-tools curl
  libsrt-gnutls-dev
  # Password hashes and token digests of the server's access control.
  libssl-dev
  # The Debian package (scripts/package.sh): dpkg-shlibdeps finds its dependencies.
  dpkg-dev
)
if [ "${1:-}" = "--tests" ]; then
  packages+=(chromium)
  # The fuzz targets (scripts/fuzz.sh): clang with libFuzzer and the sanitizers' runtimes.
  packages+=(clang libclang-rt-14-dev)
  # The metrics are checked with Prometheus's own checker and parser.
  packages+=(prometheus python3-prometheus-client)
  # The adaptive bitrate's plot in docs/ (scripts/adaptive-bitrate-plot.py).
  packages+=(gnuplot-nox)
  # The control page's browser test runs on node; a machine without it gets Debian's.
  command -v node >/dev/null 2>&1 || packages+=(nodejs)
  command -v npm >/dev/null 2>&1 || packages+=(npm)
  # The package check (scripts/check-package.sh): systemd-analyze, a loopback
  # interface in a network namespace of its own, and what the package depends
  # on besides the programs' libraries, since it installs without network.
  packages+=(systemd iproute2 adduser init-system-helpers)
  # The Windows installer (packaging/windows/), made and tested by the Windows check.
  packages+=(nsis)
fi

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
