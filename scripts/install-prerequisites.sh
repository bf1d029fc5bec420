#!/bin/bash
# Installs, with apt-get, whatever the build and the tests need and this
# Debian machine lacks. Does nothing when everything is there.
set -euo pipefail

packages=(cmake ninja-build g++-mingw-w64-x86-64 wine wine64 socat googletest perl zip unzip openssl osslsigncode dfu-util)
missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$package")
    fi
done
if ((${#missing[@]} == 0)); then
    exit 0
fi

sudo=()
if ((EUID != 0)); then
    sudo=(sudo)
fi
echo "Installing: ${missing[*]}"
"${sudo[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
