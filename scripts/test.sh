#!/usr/bin/env bash
# Installs what is missing, builds Quarrow with warnings as errors and runs every test.
# SANITIZE=address or SANITIZE=thread selects a sanitizer build in a folder of its own.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
build=$(bash scripts/configure.sh)
cmake --build "$build"
export TSAN_OPTIONS="ignore_noninstrumented_modules=1 halt_on_error=1"
export ASAN_OPTIONS="detect_leaks=1"
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp"
export UBSAN_OPTIONS="print_stacktrace=1 halt_on_error=1"
ctest --test-dir "$build" --output-on-failure -j 2
