#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need; does
# nothing when everything is there already.
set -euo pipefail

packages=(
    cmake ninja-build
    g++-mingw-w64-x86-64-posix
    wine wine64
    libspdlog-dev libfmt-dev nlohmann-json3-dev googletest
    wixl msitools osslsigncode
    openssl python3
    nginx tinyproxy squid
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

echo "Installing: ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; fi
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
