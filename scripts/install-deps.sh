#!/usr/bin/env bash
# Installs the Debian 12 packages that building, running and testing need.
# Idempotent: packages already present are left alone.
set -euo pipefail

packages=(
  build-essential cmake pkg-config git clang clang-format
  qt6-base-dev qt6-multimedia-dev qt6-svg-dev
  gstreamer1.0-plugins-base gstreamer1.0-plugins-good
  libcurl4-openssl-dev libsqlite3-dev
  libgtest-dev libgmock-dev googletest
  libcpp-httplib-dev libssl-dev zlib1g-dev libbrotli-dev
  tinyproxy openssl ca-certificates
  fonts-dejavu-core tzdata
  dbus-daemon xvfb xauth
  dpkg-dev lintian libcap2-bin util-linux appstream desktop-file-utils man-db
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -q
"${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
