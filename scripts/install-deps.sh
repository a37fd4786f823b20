#!/bin/sh
# Installs, from Debian's packages, whatever the build and the tests need and
# the machine lacks. Runs as root, or through sudo when available.
# libqt6svg6 carries Qt's SVG image plugin, which draws the window's icon.
set -eu

PACKAGES="cmake make g++ pkg-config qt6-base-dev libssl-dev openssl libgl-dev clang libclang-rt-14-dev desktop-file-utils groff-base fonts-liberation qt6-translations-l10n libqt6svg6 tshark python3 python3-aiosmtpd"

missing=""
for p in $PACKAGES; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0

if [ "$(id -u)" -eq 0 ]; then SUDO=""; else SUDO="sudo"; fi
echo "Installation de :$missing"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing
