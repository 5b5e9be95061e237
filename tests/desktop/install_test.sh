#!/bin/sh
# An install into a temporary prefix puts every file in its place, and nothing else: the program,
# the launcher and the AppStream entry (both valid where the validators are installed), the
# icon in the hicolor theme as SVG and as PNGs of the sizes they claim, the manual page and the
# package's documents.
# Usage: install_test.sh <build folder>
set -u
build=$1
id=com.ombrix.Ferrovane
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# The install copies what the build made (the program and the icons are part of every build);
# the test never builds itself, since other tests run the program meanwhile.
if [ ! -x "$build/ferrovane" ] || [ ! -f "$build/icons/256x256/apps/$id.png" ]; then
    echo "FAIL: build the project before running this test"
    exit 1
fi
if ! cmake --install "$build" --prefix "$prefix" >"$prefix.log" 2>&1; then
    cat "$prefix.log"
    fail "cmake --install"
fi
rm -f "$prefix.log"

sizes="16 22 24 32 48 64 128 256"
expected="bin/ferrovane
share/applications/$id.desktop
share/metainfo/$id.metainfo.xml
share/icons/hicolor/scalable/apps/$id.svg
share/man/man1/ferrovane.1.gz
share/doc/ferrovane/copyright
share/doc/ferrovane/changelog.gz"
for size in $sizes; do
    expected="$expected
share/icons/hicolor/${size}x${size}/apps/$id.png"
done
installed=$(cd "$prefix" && find . -type f | sed 's|^\./||' | sort)
wanted=$(echo "$expected" | sort)
if [ "$installed" != "$wanted" ]; then
    fail "installed files differ from the expected ones:"
    echo "$installed" >"$prefix/.installed"
    echo "$wanted" | diff - "$prefix/.installed"
fi

[ -x "$prefix/bin/ferrovane" ] || fail "the program is not executable"

# Every PNG is square at its folder's size (width and height from the IHDR chunk).
for size in $sizes; do
    png="$prefix/share/icons/hicolor/${size}x${size}/apps/$id.png"
    [ -f "$png" ] || continue
    set -- $(od -An -tu1 -j16 -N8 "$png")
    width=$(($1 * 16777216 + $2 * 65536 + $3 * 256 + $4))
    height=$(($5 * 16777216 + $6 * 65536 + $7 * 256 + $8))
    if [ "$width" -ne "$size" ] || [ "$height" -ne "$size" ]; then
        fail "$png is ${width}x${height}"
    fi
done

desktop="$prefix/share/applications/$id.desktop"
metainfo="$prefix/share/metainfo/$id.metainfo.xml"
if [ -f "$desktop" ]; then
    grep -qx "Icon=$id" "$desktop" || fail "the launcher names another icon"
    grep -qx "Exec=ferrovane" "$desktop" || fail "the launcher starts another program"
    grep -q '^Categories=.*Network;' "$desktop" && grep -q '^Categories=.*FileTransfer;' "$desktop" ||
        fail "the launcher's categories"
    if command -v desktop-file-validate >/dev/null; then
        desktop-file-validate "$desktop" || fail "desktop-file-validate"
    else
        echo "desktop-file-validate not installed; launcher not validated"
    fi
fi
if [ -f "$metainfo" ]; then
    grep -q "<launchable type=\"desktop-id\">$id.desktop</launchable>" "$metainfo" ||
        fail "the AppStream entry names another launcher"
    if command -v appstreamcli >/dev/null; then
        appstreamcli validate --no-net "$metainfo" >"$prefix/.validate" 2>&1 ||
            { cat "$prefix/.validate"; fail "appstreamcli validate"; }
    else
        echo "appstreamcli not installed; AppStream entry not validated"
    fi
fi

[ "$failures" -eq 0 ] && echo "all passed"
exit "$failures"
