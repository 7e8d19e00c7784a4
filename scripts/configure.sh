#!/usr/bin/env bash
# Configures the build folder with the one set of options that every script uses, so running,
# testing and taking pictures share one build. SANITIZE=address or thread selects a sanitizer
# build, in a folder of its own. Prints the build folder.
set -euo pipefail
cd "$(dirname "$0")/.."
sanitize=${SANITIZE:-}
build=build${sanitize:+-$sanitize}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUARROW_WERROR=ON \
    -DSANITIZE="$sanitize" >"$build.configure.log" 2>&1 || { cat "$build.configure.log" >&2; exit 1; }
echo "$build"
