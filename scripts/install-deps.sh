#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing Quarrow need, only those missing.
# Given package names, installs those instead (the fuzz targets' own list, say).
set -euo pipefail
# fp-utils: chmcmd compiles the user manual; libpng and SQLite: the map combiner's outputs;
# imagemagick: the combiner's benchmark peer.
packages=(g++ cmake ninja-build qt6-base-dev libgtest-dev libgmock-dev fonts-dejavu-core xvfb xauth curl
    fp-utils libpng-dev libsqlite3-dev imagemagick)
[ "$#" -gt 0 ] && packages=("$@")
installed=$(dpkg-query -W -f='${Package} ${db:Status-Status}\n' "${packages[@]}" 2>/dev/null \
    | awk '$2 == "installed" { print $1 }' || true)
missing=()
for p in "${packages[@]}"; do
    grep -qx "$p" <<<"$installed" || missing+=("$p")
done
[ "${#missing[@]}" -eq 0 ] && exit 0
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
"${sudo_cmd[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends \
    -o DPkg::Lock::Timeout=600 "${missing[@]}"
