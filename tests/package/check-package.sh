#!/usr/bin/env bash
# Makes the Debian package from the build folder given and checks it: the files it installs, its
# desktop entries and metainfo, and lintian without an error.
set -euo pipefail
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$build" && cpack -G DEB -B "$work" >/dev/null)
deb=$(ls "$work"/quarrow_*_amd64.deb)
dpkg-deb -c "$deb" | awk '{ print $6 }' >"$work/contents"
fault=0
for path in ./usr/bin/quarrow ./usr/bin/quarrow-batch ./usr/bin/pelorin ./usr/bin/stavik \
    ./usr/bin/quarrow-tileservice ./usr/share/quarrow/ini/config.ini \
    ./usr/share/quarrow/blankimg/blank.png ./usr/share/quarrow/blankimg/blank.jpg \
    ./usr/share/quarrow/blankimg/blank.webp \
    ./usr/share/quarrow/help/index.html ./usr/share/quarrow/help/area.html \
    ./usr/share/applications/example.quarrow.Quarrow.desktop \
    ./usr/share/applications/example.quarrow.Pelorin.desktop \
    ./usr/share/applications/example.quarrow.Stavik.desktop \
    ./usr/share/metainfo/example.quarrow.Quarrow.metainfo.xml \
    ./usr/share/icons/hicolor/scalable/apps/quarrow.svg \
    ./usr/share/icons/hicolor/48x48/apps/quarrow.png \
    ./usr/share/man/man1/quarrow-batch.1.gz ./usr/share/man/man1/quarrow.1.gz \
    ./usr/share/doc/quarrow/copyright ./usr/share/doc/quarrow/changelog.gz; do
    grep -qx "$path" "$work/contents" || { echo "missing from the package: $path"; fault=1; }
done
if grep -v '^\./usr/' "$work/contents" | grep -qv '^\./$'; then
    echo "outside /usr:"; grep -v '^\./usr/' "$work/contents"; fault=1
fi
dpkg-deb -x "$deb" "$work/root"
for entry in "$work"/root/usr/share/applications/*.desktop; do
    desktop-file-validate "$entry" || fault=1
done
appstreamcli validate --no-net --explain \
    "$work/root/usr/share/metainfo/example.quarrow.Quarrow.metainfo.xml" >"$work/appstream" ||
    { cat "$work/appstream"; fault=1; }
if command -v lintian >/dev/null; then
    lintian --tag-display-limit 0 "$deb" >"$work/lintian" 2>&1 || true
    if grep -q '^E:' "$work/lintian"; then
        grep '^E:' "$work/lintian"; fault=1
    fi
    echo "lintian: $(grep -c '^E:' "$work/lintian" || true) errors, $(grep -c '^W:' "$work/lintian" || true) warnings"
fi
exit $fault
