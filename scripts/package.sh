#!/usr/bin/env bash
# Builds the Debian package: bash scripts/package.sh prints the path of quarrow_<version>_amd64.deb.
# Install it with: sudo apt-get install ./build/package/quarrow_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
SANITIZE= build=$(SANITIZE= bash scripts/configure.sh)
cmake --build "$build" >/dev/null
(cd "$build" && cpack -G DEB >/dev/null)
ls "$build"/package/quarrow_*_amd64.deb
