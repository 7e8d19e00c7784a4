#!/usr/bin/env bash
# Installs what is missing, builds Quarrow and runs it. Until the main window lands this runs the
# task-start benchmark, which builds a real task of about a million tiles and writes its files.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build
./build/bench/task_start_bench
