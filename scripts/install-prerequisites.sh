#!/bin/bash
# Installs, with apt-get, what this Debian machine lacks for:
#   install-prerequisites.sh                 the build and every test
#   install-prerequisites.sh --kit [--sign]  making a kit (make-kit.sh), and
#                                            signing it
# Does nothing when everything is there.
set -euo pipefail

# Making a kit: the cross compiler, Wine for the kit check, zip for the kit,
# and ccache, which lets every build of the sources reuse another's objects;
# wixl and msitools (msibuild) for its installer package.
kitPackages=(cmake ninja-build g++-mingw-w64-x86-64 wine wine64 zip ccache wixl msitools)
signPackages=(openssl osslsigncode)
# The tests: GoogleTest's sources, socat's serial lines, dfu-util's reference
# tools, what the test scripts run, and the linters.
testPackages=(googletest socat perl unzip dfu-util shellcheck clang-format clang-tidy-22 clang-22)

case "${1:-}" in
"") packages=("${kitPackages[@]}" "${signPackages[@]}" "${testPackages[@]}") ;;
--kit)
    packages=("${kitPackages[@]}")
    case "${2:-}" in
    "") ;;
    --sign) packages+=("${signPackages[@]}") ;;
    *)
        echo "usage: $0 [--kit [--sign]]" >&2
        exit 2
        ;;
    esac
    ;;
*)
    echo "usage: $0 [--kit [--sign]]" >&2
    exit 2
    ;;
esac

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
