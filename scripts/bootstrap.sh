#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, then configures and
# builds the default preset. Idempotent: quiet and fast when everything is present.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
    build-essential cmake ninja-build ccache pkg-config clang libclang-rt-14-dev
    libcurl4-openssl-dev libssl-dev libtinyxml2-dev libjsoncpp-dev liburiparser-dev
    zlib1g-dev libminiupnpc-dev qt6-base-dev libx11-dev libcli11-dev
    libgtest-dev libgmock-dev libbenchmark-dev fonts-noto-cjk
    nginx tinyproxy dante-server opentracker vsftpd miniupnpd-nftables nftables iproute2
    python3-libtorrent transmission-cli transmission-daemon libsodium23
    xvfb imagemagick openbox qt6-translations-l10n curl aria2 lftp time
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done

if ((${#missing[@]})); then
    echo "bootstrap: installing ${missing[*]}"
    sudo_cmd=()
    [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
    export DEBIAN_FRONTEND=noninteractive
    "${sudo_cmd[@]}" apt-get update -qq
    "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# The second FTP server of the interop tests. Debian's FTP servers all provide and conflict
# with "ftp-server", so pure-ftpd cannot be installed beside vsftpd: its package is unpacked
# (not installed) into a folder of its own. Its libraries come with the packages above.
pure_ftpd_root=/opt/koruvan/pure-ftpd
if [ ! -x "$pure_ftpd_root/usr/sbin/pure-ftpd" ]; then
    echo "bootstrap: unpacking pure-ftpd into $pure_ftpd_root"
    sudo_cmd=()
    [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
    work=$(mktemp -d)
    (cd "$work" && apt-get download -qq pure-ftpd)
    "${sudo_cmd[@]}" mkdir -p "$pure_ftpd_root"
    "${sudo_cmd[@]}" dpkg-deb -x "$work"/pure-ftpd_*.deb "$pure_ftpd_root"
    rm -rf "$work"
fi

preset="${KORUVAN_PRESET:-default}"
if [ ! -f "build/$preset/build.ninja" ]; then
    cmake --preset "$preset" >/dev/null
fi
cmake --build --preset "$preset"
