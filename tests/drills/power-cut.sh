#!/usr/bin/env bash
# Power cuts at random moments: quarrow-batch runs a task on a LazyFS mount (a FUSE file system
# that drops every write not flushed, on command), is frozen, the unflushed writes are dropped and
# the process is killed; then the same command goes on, on the same mount. In the end every tile
# must be the bytes of an uninterrupted run, and no file of the task empty. Needs root,
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

# The local service, slow enough that a cut falls among the tiles.
"$build/tools/tileservice/tileservice" --port 0 --delay-ms 150 >"$work/service.out" &
pids+=($!)
for _ in $(seq 100); do grep -q listening "$work/service.out" 2>/dev/null && break; sleep 0.05; done
port=$(sed -n 's/.*:\([0-9]*\)$/\1/p' "$work/service.out" | head -1)
[ -n "$port" ] || { echo "the tile service did not start"; exit 1; }

mkdir -p "$work/exe/ini" "$work/exe/blankimg" "$work/root" "$work/mnt" "$work/ref"
cp "$build/app/quarrow-batch" "$work/exe/"
cp "$repo/install/blankimg/blank.png" "$work/exe/blankimg/"
printf '[Service]\r\nHost=127.0.0.1:%s\r\n' "$port" >"$work/exe/ini/config.ini"
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
made=0
for cut in $(seq "$cuts"); do
    if [ "$made" = 0 ]; then args=("${task[@]}" --folder "$save"); else args=(--resume "$save/cut.zav"); fi
    "$batch" "${args[@]}" >/dev/null 2>&1 &
    pid=$!
    # Before and after the five-second saves.
    sleep "$(awk -v r="$RANDOM" 'BEGIN { printf "%.2f", 1 + r % 800 / 100 }')"
    kill -STOP "$pid" 2>/dev/null || true
    echo "lazyfs::clear-cache" >"$work/faults.fifo"
    read -r -t 60 line <&3 || { echo "LazyFS did not clear its cache"; exit 1; }
    kill -9 "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    made=1
    empty=$(find "$save/cut" -type f -empty 2>/dev/null | wc -l)
    echo "cut $cut: $(find "$save/cut" -type f 2>/dev/null | wc -l) tile files, $empty empty; project file $(stat -c %s "$save/cut.zav") bytes"
done

status=0
"$batch" --resume "$save/cut.zav" >"$work/last.out" 2>&1 || status=$?
tail -1 "$work/last.out"
[ "$status" = 0 ] || { echo "the resume after the cuts ended with $status"; cat "$work/last.out"; exit 1; }
differ=0
for tile in "$work/ref/cut/"*; do
    cmp -s "$tile" "$save/cut/$(basename "$tile")" || { differ=$((differ + 1)); echo "differs: $(basename "$tile")"; }
done
# An empty failed list is a whole one: no tile failed.
empty=$(find "$save" -type f -empty ! -name '*_failed.ftl' | wc -l)
find "$save" -type f -empty ! -name '*_failed.ftl' | sed 's/^/empty: /'
echo "$cuts power cuts: $(ls "$work/ref/cut" | wc -l) tiles, $differ differ, $empty empty files"
[ "$differ" = 0 ] && [ "$empty" = 0 ]
