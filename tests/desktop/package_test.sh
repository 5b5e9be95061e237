#!/bin/sh
# The Debian package, made by cpack into a temporary folder from a finished build, passes lintian
# with no error and no warning, and its changelog's latest entry is the package's version.
# Usage: package_test.sh <build folder>
set -u
command -v lintian >/dev/null || { echo "SKIPPED: lintian is not installed"; exit 77; }
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
cpack -G DEB -B "$out" --config "$1/CPackConfig.cmake" >"$out/log" 2>&1 ||
    { cat "$out/log"; echo "FAIL: cpack"; exit 1; }
deb=$(ls "$out"/*.deb)
lintian --fail-on error,warning "$deb" || { echo "FAIL: lintian"; exit 1; }
version=$(dpkg-deb -f "$deb" Version)
dpkg-deb --fsys-tarfile "$deb" | tar -xOf - ./usr/share/doc/ferrovane/changelog.gz | gzip -dc |
    head -n 1 | grep -qF "ferrovane ($version)" ||
    { echo "FAIL: the changelog has no entry for $version"; exit 1; }
echo "all passed"
