#!/bin/sh
# The Debian package, made by cpack into a temporary folder from a finished build, passes lintian
# with no error and no warning, and its changelog's latest entry is the package's version.
# Usage: package_test.sh <build folder>
set -u
build=$1
if ! command -v lintian >/dev/null; then
    echo "SKIPPED: lintian is not installed"
    exit 77
fi
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
if ! cpack -G DEB -B "$out" --config "$build/CPackConfig.cmake" >"$out/cpack.log" 2>&1; then
    cat "$out/cpack.log"
    echo "FAIL: cpack"
    exit 1
fi
deb=$(ls "$out"/*.deb)
lintian --fail-on error,warning "$deb" || { echo "FAIL: lintian"; exit 1; }
version=$(dpkg-deb -f "$deb" Version)
dpkg-deb --fsys-tarfile "$deb" | tar -xOf - ./usr/share/doc/ferrovane/changelog.gz | gzip -dc |
    head -n 1 | grep -qF "ferrovane ($version)" || { echo "FAIL: no changelog entry for $version"; exit 1; }
echo "all passed"
