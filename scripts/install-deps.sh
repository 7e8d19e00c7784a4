#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing Quarrow need, only those missing.
# Given package names, installs those instead (the fuzz targets' own list, say).
set -euo pipefail
# fp-utils: chmcmd compiles the user manual; libpng, libjpeg and SQLite: the map combiner's tiles
# and outputs; imagemagick: the combiner's benchmark peer; OpenSSL and the system's certificates:
# https sources; dpkg-dev, fakeroot, lintian, desktop-file-utils and appstream: the Debian
# package and its checks; libtiff: GeoTIFF output, which gdal-bin's gdalinfo checks in the tests;
# libzip and zlib: the combiner's KMZ and PMTiles; expat: GPX and KML area files; libwebp and Qt's
# image plugins: WebP tiles (the combiner decodes them, the viewer shows them); libjs-leaflet: the
# map page beside a tile tree and on the local tile server; chromium: the test that opens it.
packages=(g++ cmake ninja-build qt6-base-dev libgtest-dev libgmock-dev fonts-dejavu-core xvfb xauth curl
    fp-utils libpng-dev libjpeg-dev libsqlite3-dev imagemagick libssl-dev ca-certificates openssl
    dpkg-dev fakeroot lintian desktop-file-utils appstream libtiff-dev gdal-bin libzip-dev
    zlib1g-dev libexpat1-dev libwebp-dev qt6-image-formats-plugins pkgconf libjs-leaflet chromium)
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
# apt's progress goes to a log; one line here, the log's end only when it fails.
log=${TMPDIR:-/tmp}/quarrow-install-deps.log
echo "Installing ${#missing[@]} missing Debian packages (${missing[*]}); log: $log"
if ! { "${sudo_cmd[@]}" apt-get update -qq &&
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends \
        -o DPkg::Lock::Timeout=600 "${missing[@]}"; } >"$log" 2>&1; then
    tail -n 20 "$log" >&2
    echo "Installing the packages failed; the whole log is $log" >&2
    exit 1
fi
