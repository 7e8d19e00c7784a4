#!/usr/bin/env bash
# Installs what building and running the fuzz targets needs, only those packages that are missing:
# clang with its sanitizer and libFuzzer runtimes, and the build tools.
set -euo pipefail
exec bash "$(dirname "$0")/../scripts/install-deps.sh" clang libclang-rt-14-dev cmake ninja-build \
    libssl-dev
