# Shared by scripts/run and scripts/test: install what is missing, then configure and build.
set -euo pipefail

FERROVANE_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
FERROVANE_BUILD="$FERROVANE_ROOT/build"

# Debian packages the build, the program and the test suite need.
FERROVANE_PACKAGES=(
    build-essential cmake ninja-build pkg-config
    qt6-base-dev qt6-base-private-dev qt6-svg-dev libqt6svg6 qt6-qpa-plugins
    libcurl4-openssl-dev libssh-dev libssl-dev
    libgtest-dev
    python3 python3-pyftpdlib python3-cryptography python3-openssl python3-paramiko
    curl lftp
    # The system's servers some tests run from their own configuration (as root only).
    proftpd-core proftpd-mod-crypto openssh-server openssh-client
    desktop-file-utils appstream dpkg-dev lintian
    # A session bus of the tests' own, for the notices on the desktop.
    dbus-daemon
)

ferrovane_install_packages() {
    local missing=()
    local pkg
    for pkg in "${FERROVANE_PACKAGES[@]}"; do
        if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
            missing+=("$pkg")
        fi
    done
    if [ ${#missing[@]} -eq 0 ]; then
        return 0
    fi
    echo "Installing missing packages: ${missing[*]}"
    local sudo=()
    if [ "$(id -u)" -ne 0 ]; then
        sudo=(sudo)
    fi
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
        "${missing[@]}"
}

ferrovane_build() {
    if [ ! -f "$FERROVANE_BUILD/build.ninja" ]; then
        cmake -S "$FERROVANE_ROOT" -B "$FERROVANE_BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release
    fi
    cmake --build "$FERROVANE_BUILD" --parallel "$(nproc)"
}
