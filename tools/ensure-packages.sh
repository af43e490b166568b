#!/usr/bin/env bash
# Installs the Debian packages named as arguments that are not installed yet.
# Run (not sourced: it exits) by run.sh and test.sh.
set -euo pipefail

missing=()
for package in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if ! command -v apt-get >/dev/null 2>&1; then
    echo "Missing packages (${missing[*]}) and no apt-get to install them: install them by hand." >&2
    exit 1
fi

sudo=()
if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null 2>&1; then
        echo "Missing packages (${missing[*]}): run as root or install sudo." >&2
        exit 1
    fi
    sudo=(sudo)
fi

echo "Installing ${missing[*]}..."
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
