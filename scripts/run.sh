#!/usr/bin/env bash
# Installs what is missing, builds Quarrow, quarrow-batch, the companion programs and the local
# tile service, starts the service in the background and opens Quarrow (under a virtual display
# when none is set). Leaving Quarrow (File > Exit or closing its window) ends the script, which then stops the
# tile service it started.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
build=$(SANITIZE= bash scripts/configure.sh)
cmake --build "$build" --target quarrow quarrow-batch pelorin stavik tileservice

# Qt wants a private runtime folder; a session without one (a container, su) gets its own.
if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
    XDG_RUNTIME_DIR=$(mktemp -d "${TMPDIR:-/tmp}/quarrow-runtime-XXXXXX")
    chmod 700 "$XDG_RUNTIME_DIR"
    export XDG_RUNTIME_DIR
fi

service_pid=
app_pid=
stop_all() {
    # Quarrow first, in its own session with its virtual display: a display that went first
    # would leave it an X11 error to print.
    if [ -n "$app_pid" ]; then
        kill -TERM -- "-$app_pid" 2>/dev/null || true
        wait "$app_pid" 2>/dev/null || true
    fi
    [ -n "$service_pid" ] && kill "$service_pid" 2>/dev/null || true
    case "${XDG_RUNTIME_DIR:-}" in */quarrow-runtime-*) rm -rf "$XDG_RUNTIME_DIR" ;; esac
}
trap stop_all EXIT
# Interrupted (Ctrl+C, or killed), the script still stops Quarrow and the service through its exit.
trap 'exit 130' INT TERM
# A service already answering on the default address is used as it is.
if ! (exec 3<>/dev/tcp/127.0.0.1/8642) 2>/dev/null; then
    ./build/tools/tileservice/tileservice &
    service_pid=$!
fi

# Quarrow runs in a session of its own, so a Ctrl+C reaches this script, which ends it in order.
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    setsid ./build/app/quarrow &
else
    echo "No display is set: Quarrow runs under a virtual X display (xvfb-run), where it cannot be"
    echo "seen. Press Ctrl+C to end it (and the tile service started for it)."
    setsid xvfb-run -a -s "-screen 0 1024x768x24" ./build/app/quarrow &
fi
app_pid=$!
wait "$app_pid"
