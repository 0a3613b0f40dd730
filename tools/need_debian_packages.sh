#!/bin/sh
# Installs the Debian packages named as arguments that are missing, with
# apt-get when run as root; otherwise names them and fails.
set -eu
missing=""
for package in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed"; then
        missing="$missing $package"
    fi
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
    echo "error: missing Debian packages:$missing; install them with: sudo apt-get install$missing" >&2
    exit 1
fi
echo "Installing Debian packages:$missing"
apt-get update -qq
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing >/dev/null || {
    echo "error: apt-get could not install$missing" >&2
    exit 1
}
