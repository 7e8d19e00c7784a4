#!/usr/bin/env bash
# Installs what building and running the fuzz targets needs, only those packages that are missing:
# clang with its sanitizer and libFuzzer runtimes, the build tools, and the libraries the readers
# use (OpenSSL; Qt's core for the imports).
set -euo pipefail
exec bash "$(dirname "$0")/../scripts/install-deps.sh" clang libclang-rt-14-dev cmake ninja-build \
    libssl-dev qt6-base-dev libsqlite3-dev libexpat1-dev
