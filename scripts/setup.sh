#!/usr/bin/env bash
# Installs the Debian packages Ringlark needs, and only those that are missing.
set -euo pipefail

packages=(
  qt6-base-dev qcoro-qt6-dev nlohmann-json3-dev libqrcodegencpp-dev libcpp-httplib-dev
  libtomlplusplus-dev libgtest-dev pkg-config cmake g++ ninja-build fonts-dejavu-core
  libzbar-dev desktop-file-utils appstream dpkg-dev file ccache
  libssl-dev libx11-dev libxext-dev libxtst-dev libxdamage-dev libxcomposite-dev libturbojpeg0-dev
  chromium xvfb x11-utils openbox libqt6svg6
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
echo "setup: installing ${missing[*]}" >&2
"${sudo[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
