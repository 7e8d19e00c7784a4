#!/usr/bin/env bash
# Power cuts at random moments: quarrow-batch runs a task on a LazyFS mount (a FUSE file system
# that drops every write not flushed, on command), is frozen, the unflushed writes are dropped and
# the process is killed; then the same command goes on, on the same mount. Three commands are cut
# so: a download, an update against a service whose tiles changed since, and a custom source's
# re-download of its failed list. After each, every tile must be the service's current picture,
# and no file of the task empty. Needs root,
# /dev/fuse and LazyFS's source beside the repository (shared/tools/lazyfs); exits 77 (skipped),
# saying why, when one is missing.
# Usage: power-cut.sh BUILD_FOLDER [CUTS]
set -euo pipefail
build=$(cd "$1" && pwd)
cuts=${2:-3}
repo=$(cd "$(dirname "$0")/../.." && pwd)
lazysrc=$repo/../shared/tools/lazyfs
skip() { echo "SKIPPED: the power-cut drill $*"; exit 77; }
[ "$(id -u)" = 0 ] || skip "needs root (FUSE with allow_other)"
[ -c /dev/fuse ] || skip "needs /dev/fuse"
[ -f "$lazysrc/build.sh" ] || skip "needs LazyFS's source at $lazysrc"

# LazyFS ignores a config path with "-o" in it: work folders are named without a dash.
lazybuild=/tmp/pclazyfs
lazyfs=$lazybuild/lazyfs/build/lazyfs
if [ ! -x "$lazyfs" ]; then
    bash "$lazysrc/build.sh" "$lazybuild" "$lazysrc/src" >/tmp/pclazyfs.log 2>&1 ||
        skip "could not build LazyFS (see /tmp/pclazyfs.log)"
fi
work=$(mktemp -d /tmp/pc.XXXXXXXX)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill -9 "$pid" 2>/dev/null || true; done
    fusermount3 -u "$work/mnt" 2>/dev/null || umount "$work/mnt" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# The local service, slow enough that a cut falls among the tiles; started anew on the same port
# with other faults or pictures.
service_pid=
start_service() {
    [ -n "$service_pid" ] && { kill -9 "$service_pid" 2>/dev/null || true; wait "$service_pid" 2>/dev/null || true; }
    : >"$work/service.out"
    "$build/tools/tileservice/tileservice" --port "${port:-0}" "$@" >"$work/service.out" &
    service_pid=$!
    pids+=($service_pid)
    for _ in $(seq 100); do grep -q listening "$work/service.out" 2>/dev/null && break; sleep 0.05; done
    port=$(sed -n 's/.*:\([0-9]*\)$/\1/p' "$work/service.out" | head -1)
    [ -n "$port" ] || { echo "the tile service did not start"; exit 1; }
}
start_service --delay-ms 150

mkdir -p "$work/exe/ini" "$work/exe/blankimg" "$work/root" "$work/mnt" "$work/ref" "$work/ref2" "$work/ref3"
cp "$build/app/quarrow-batch" "$work/exe/"
cp "$repo/install/blankimg/blank.png" "$work/exe/blankimg/"
printf '[Service]\r\nHost=127.0.0.1:%s\r\n' "$port" >"$work/exe/ini/config.ini"
printf '[Drill]\r\nMapView=http://127.0.0.1:%s/xyz/normal/{z}/{x}/{y}.png\r\nWorkers=8\r\nTileDelay=0\r\n' \
    "$port" >"$work/exe/ini/sources.ini"
batch=$work/exe/quarrow-batch
task=(--area 116.30,39.88,116.36,39.92 --zoom 15 --name cut)

# What an uninterrupted run saves.
"$batch" "${task[@]}" --folder "$work/ref" >/dev/null 2>&1

cat >"$work/lazyfs.toml" <<CONFIG
[faults]
fifo_path="$work/faults.fifo"
fifo_path_completed="$work/done.fifo"
[cache]
apply_eviction=false
[cache.simple]
custom_size="256mb"
blocks_per_page=1
[filesystem]
log_all_operations=false
logfile="$work/lazyfs.log"
CONFIG
mkfifo "$work/faults.fifo" "$work/done.fifo"
exec 3<>"$work/done.fifo"
"$lazyfs" --config-path "$work/lazyfs.toml" -o allow_other -o modules=subdir \
    -o subdir="$work/root" -f "$work/mnt" >"$work/lazyfs.out" 2>&1 &
pids+=($!)
for _ in $(seq 100); do mountpoint -q "$work/mnt" && break; sleep 0.05; done
mountpoint -q "$work/mnt" || skip "could not mount LazyFS (see its output: $(tail -3 "$work/lazyfs.out"))"

save=$work/mnt/save
mkdir -p "$save"

# Runs the command, freezes it after a random time of `least` seconds and up to `span` more, drops
# what was not flushed and kills it; `cuts` times, the first with the first command, the rest with
# the next.
cut_runs() {
    local label=$1 cuts=$2 least=$3 span=$4 folder=$5; shift 5
    local first=() next=()
    while [ "$1" != -- ]; do first+=("$1"); shift; done
    shift
    next=("$@")
    for cut in $(seq "$cuts"); do
        if [ "$cut" = 1 ]; then args=("${first[@]}"); else args=("${next[@]}"); fi
        "$batch" "${args[@]}" >/dev/null 2>&1 &
        pid=$!
        sleep "$(awk -v r="$RANDOM" -v l="$least" -v s="$span" 'BEGIN { printf "%.2f", l + r % (s * 100) / 100 }')"
        kill -STOP "$pid" 2>/dev/null || true
        echo "lazyfs::clear-cache" >"$work/faults.fifo"
        read -r -t 60 line <&3 || { echo "LazyFS did not clear its cache"; exit 1; }
        kill -9 "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
        empty=$(find "$folder" -type f -empty 2>/dev/null | wc -l)
        echo "$label cut $cut: $(find "$folder" -type f 2>/dev/null | wc -l) tile files, $empty empty"
    done
}

# Every tile of the reference in the folder, byte for byte, and no empty file of the save's.
check_tiles() {
    local label=$1 reference=$2 folder=$3 differ=0
    for tile in "$reference/"*; do
        cmp -s "$tile" "$folder/$(basename "$tile")" || { differ=$((differ + 1)); echo "differs: $(basename "$tile")"; }
    done
    # An empty failed list is a whole one: no tile failed.
    local empty
    empty=$(find "$save" -type f -empty ! -name '*_failed.ftl' | wc -l)
    find "$save" -type f -empty ! -name '*_failed.ftl' | sed 's/^/empty: /'
    echo "$label: $(ls "$reference" | wc -l) tiles, $differ differ, $empty empty files"
    [ "$differ" = 0 ] && [ "$empty" = 0 ] || failed=1
}

# Runs the command until it ends whole (exit 0), at most three times.
go_on() {
    local status=0
    for _ in 1 2 3; do
        status=0
        "$batch" "$@" >"$work/last.out" 2>&1 || status=$?
        [ "$status" = 0 ] && break
    done
    tail -1 "$work/last.out"
    [ "$status" = 0 ] || { echo "$* ended with $status"; cat "$work/last.out"; exit 1; }
}

failed=0
# A download.
# Before and after the five-second saves.
cut_runs download "$cuts" 1 8 "$save/cut" "${task[@]}" --folder "$save" -- --resume "$save/cut.zav"
go_on --resume "$save/cut.zav"
check_tiles "$cuts power cuts of a download" "$work/ref/cut" "$save/cut"

# An update against a service every third of whose tiles changed, slow enough that its saves fall
# among its tiles.
start_service --changed-every 3 --delay-ms 1000
"$batch" "${task[@]}" --folder "$work/ref2" >/dev/null 2>&1
cut_runs update "$cuts" 2 6 "$save/cut" --update "$save/cut.zav" -- --update "$save/cut.zav"
go_on --update "$save/cut.zav"
check_tiles "$cuts power cuts of an update" "$work/ref2/cut" "$save/cut"

# A custom source's re-download of the tiles its faulty service failed.
start_service --delay-ms 150 --share-500 0.8 --seed 7
"$batch" "${task[@]/cut/rd}" --source Drill --folder "$save" >/dev/null 2>&1 || true
echo "re-download: $(grep -c . "$save/rd_failed.ftl" || true) tiles listed"
start_service --delay-ms 150
"$batch" "${task[@]/cut/rd}" --source Drill --folder "$work/ref3" >/dev/null 2>&1
cut_runs re-download "$cuts" 0.3 3 "$save/rd" --retry-failed "$save/rd.zav" -- --retry-failed "$save/rd.zav"
# And one after its end: what it did not flush is lost then too, and must still be listed.
cut_runs "re-download, after its end," 1 9 1 "$save/rd" --retry-failed "$save/rd.zav" --
# The list alone brings back what a cut lost: no resume after it.
go_on --retry-failed "$save/rd.zav"
check_tiles "$cuts power cuts of a re-download" "$work/ref3/rd" "$save/rd"
exit "$failed"
