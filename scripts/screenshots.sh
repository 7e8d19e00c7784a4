#!/usr/bin/env bash
# Takes the pictures of the windows kept in docs/: builds what it needs, starts the local tile
# service on a free port and lets the main window run a task against it for a few seconds; then
# the viewer and the combiner, each on a small real task.
set -euo pipefail
cd "$(dirname "$0")/.."
# Qt wants a private runtime folder; one of the script's own when the session has none.
if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
    export XDG_RUNTIME_DIR=$(mktemp -d)
fi
bash scripts/install-deps.sh
SANITIZE= bash scripts/configure.sh >/dev/null
cmake --build build --target windowshot tileservice quarrow quarrow-batch pelorin stavik viewer_bench combine_bench
work=$(mktemp -d)
service_pid=
cleanup() {
    [ -n "$service_pid" ] && kill "$service_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
mkfifo "$work/service-output"
./build/tools/tileservice/tileservice --port 0 >"$work/service-output" &
service_pid=$!
read -r first_line <"$work/service-output"
address=${first_line#listening on }
mkdir -p "$work/program/ini" "$work/program/blankimg" "$work/maps"
cp install/blankimg/blank.png install/blankimg/blank.jpg install/blankimg/blank.webp "$work/program/blankimg/"
cp -r build/app/help "$work/program/help"
sed "s/^Host=.*/Host=$address\r/" install/ini/config.ini >"$work/program/ini/config.ini"
mkdir -p docs
root=$PWD
# A certificate that no one issued: the https source that presents it is refused.
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=localhost \
    -addext subjectAltName=DNS:localhost -keyout "$work/own.key" -out "$work/own.crt" 2>/dev/null
(cd "$work" && "$root/build/tools/windowshot/windowshot" program maps "$root/docs" own.crt own.key)
(cd "$work" && mkdir -p viewer-task && QT_QPA_PLATFORM=offscreen "$root/build/bench/viewer_bench" --sample viewer-task >/dev/null &&
    QT_QPA_PLATFORM=offscreen "$root/build/app/pelorin" viewer-task/sample.zav \
        --screenshot "$root/docs/pelorin.png" --size 1024x720)
(cd "$work" && mkdir -p combiner-task && "$root/build/bench/combine_bench" --task-only combiner-task >/dev/null &&
    QT_QPA_PLATFORM=offscreen "$root/build/app/stavik" --screenshot "$root/docs/stavik.png" \
        combiner-task/small.zav)
# The viewer's tile age: the sample task's tiles given times of their own, from hours to years.
(cd "$work" && ages=("2 hours ago" "3 days ago" "20 days ago" "90 days ago" "300 days ago" "500 days ago") &&
    i=0 && for tile in viewer-task/sample/*; do touch -d "${ages[i % 6]}" "$tile"; i=$((i + 1)); done &&
    QT_QPA_PLATFORM=offscreen "$root/build/app/pelorin" viewer-task/sample.zav --tile-age \
        --screenshot "$root/docs/pelorin-tile-age.png" --size 1024x720)
# The page beside the tile tree of an area's two zoom levels, as a browser shows it.
(cd "$work" && cp "$root/build/app/quarrow-batch" program/ &&
    echo '{"type": "Polygon", "coordinates": [[[116.36, 39.93], [116.43, 39.95], [116.46, 39.90],
        [116.40, 39.87], [116.35, 39.89], [116.36, 39.93]]]}' >park.geojson &&
    program/quarrow-batch --area-file park.geojson --zoom 13-14 --name park --folder "$work/park" >/dev/null &&
    "$root/build/app/stavik" --xyz park/park_z13.zav park/park_z14.zav park-xyz/ >/dev/null &&
    chromium --headless --no-sandbox --disable-gpu --hide-scrollbars --window-size=1000,700 \
        --virtual-time-budget=8000 --user-data-dir="$work/chromium" \
        --screenshot="$root/docs/map-page.png" "file://$work/park-xyz/index.html" 2>/dev/null)
