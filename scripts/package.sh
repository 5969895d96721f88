#!/usr/bin/env bash
# Builds the Debian package: both programs, the control page, README and
# licence, the systemd unit and the maintainer scripts, made by CPack from the
# install rules of a release build.
#   scripts/package.sh [BUILD_DIR]        (default: build)
# The build is configured for the prefix /usr, where a Debian package installs
# (only the install rules and the unit depend on it: an existing build is not
# compiled again), and built where needed. The package goes to
# BUILD_DIR/package/; its path is the last line printed.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir="$(realpath -m "${1:-build}")"
package_dir="$build_dir/package"

scripts/build.sh "$build_dir" -DCMAKE_INSTALL_PREFIX=/usr
# A package of an earlier version must not be taken for this one.
rm -rf "$package_dir"
cpack --config "$build_dir/CPackConfig.cmake" -G DEB -B "$package_dir" >"$build_dir/cpack.log" 2>&1 || {
	cat "$build_dir/cpack.log" >&2
	echo "package: CPack failed (log: $build_dir/cpack.log)" >&2
	exit 1
}
packages=("$package_dir"/tiloran_*.deb)
[ -f "${packages[0]}" ] && [ ${#packages[@]} -eq 1 ] || { echo "package: CPack made no single tiloran_*.deb in $package_dir" >&2; exit 1; }
dpkg-deb --field "${packages[0]}" Package Version Architecture Depends
echo "${packages[0]}"
