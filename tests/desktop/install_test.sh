#!/usr/bin/env bash
# cmake --install into a temporary prefix: exactly the expected files, and the desktop entry and the
# AppStream metainfo pass their validators. Usage: install_test.sh <build folder>
set -euo pipefail
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" >/dev/null
id=io.github.quillbeat.Quillbeat
expected=$(printf '%s\n' \
  bin/quillbeat \
  lib/quillbeat/libquillbeat-sound.so \
  lib/quillbeat/libquillbeat-window.so \
  share/applications/$id.desktop \
  share/doc/quillbeat/copyright \
  share/doc/quillbeat/changelog.gz \
  share/mime/packages/$id.xml \
  share/metainfo/$id.metainfo.xml \
  share/man/man1/quillbeat.1.gz \
  share/quillbeat/demo.mid \
  share/icons/hicolor/scalable/apps/$id.svg \
  $(for s in 16 32 48 64 128 256; do echo share/icons/hicolor/${s}x$s/apps/$id.png; done) | sort)
actual=$(cd "$prefix" && find . -type f -o -type l | sed 's|^\./||' | sort)
if [ "$expected" != "$actual" ]; then
  diff <(echo "$expected") <(echo "$actual") >&2 || true
  fail "installed files differ from the expected list (- expected, + installed)"
fi

desktop-file-validate "$prefix/share/applications/$id.desktop" || fail "desktop-file-validate"
appstreamcli validate --no-net "$prefix/share/metainfo/$id.metainfo.xml" || fail "appstreamcli validate"
# Our own types (.rmi, and game-music files): a shared-mime-info database built from them alone knows
# their globs and magic; every type the desktop entry offers to open is one of them or one
# shared-mime-info knows.
mkdir -p "$prefix/mime-check/packages"
cp "$prefix/share/mime/packages/$id.xml" "$prefix/mime-check/packages/"
update-mime-database "$prefix/mime-check" || fail "update-mime-database"
grep -qx 'audio/x-rmid:\*\.rmi' "$prefix/mime-check/globs" || fail "no glob for .rmi"
grep -q 'audio/x-rmid' "$prefix/mime-check/magic" || fail "no magic for RIFF MIDI"
grep -qx 'audio/x-vgm:\*\.vgm' "$prefix/mime-check/globs" || fail "no glob for .vgm"
grep -q 'audio/x-nsf' "$prefix/mime-check/magic" || fail "no magic for NSF"
for type in $(sed -n 's/^MimeType=//p' "$prefix/share/applications/$id.desktop" | tr ';' ' '); do
  grep -qFx "$type" "$prefix/mime-check/types" /usr/share/mime/types ||
    awk -v t="$type" '$1 == t { found = 1 } END { exit !found }' /usr/share/mime/aliases ||
    fail "the desktop entry offers $type, which no one knows"
done
rm -rf "$prefix/mime-check"
grep -qx 'Exec=quillbeat --play %f' "$prefix/share/applications/$id.desktop" || fail "Exec line"
# The AppStream screenshots are the pictures in docs/, at the size the metainfo states.
docs=$(dirname "$0")/../../docs
while read -r width height name; do
  size=$(file -b "$docs/$name" | grep -o '[0-9]* x [0-9]*')
  [ "$size" = "$width x $height" ] || fail "$name is $size, the metainfo says $width x $height"
done < <(sed -n 's|.*width="\([0-9]*\)" height="\([0-9]*\)">.*/docs/\([^<]*\)</image>.*|\1 \2 \3|p' \
  "$prefix/share/metainfo/$id.metainfo.xml")
for s in 16 32 48 64 128 256; do
  size=$(file -b "$prefix/share/icons/hicolor/${s}x$s/apps/$id.png" | grep -o '[0-9]* x [0-9]*')
  [ "$size" = "$s x $s" ] || fail "the ${s}px icon is $size"
done
grep -q '<svg' "$prefix/share/icons/hicolor/scalable/apps/$id.svg" || fail "the scalable icon is no SVG"
zcat "$prefix/share/man/man1/quillbeat.1.gz" | grep -q '^\.TH QUILLBEAT 1' || fail "manual page"
[ "$(head -c 4 "$prefix/share/quillbeat/demo.mid")" = MThd ] || fail "the demo tune is no MIDI file"
# The program looks for its sound module and its window where it was installed, relative to itself.
grep -qa '/\.\./lib/quillbeat/' "$prefix/bin/quillbeat" || fail "the program does not look in lib/quillbeat"
nm -D --defined-only "$prefix/lib/quillbeat/libquillbeat-sound.so" | grep -qw quillbeat_make_sound_stack ||
  fail "the sound module lacks its entry point"
nm -D --defined-only "$prefix/lib/quillbeat/libquillbeat-window.so" | grep -qw quillbeat_run_window ||
  fail "the window module lacks its entry point"
# Installed, the program finds its window module: with a platform the toolkit lacks, what it says is
# that the window cannot be shown (the module's), not that the module is missing.
said=$(QT_QPA_PLATFORM=qb-no-such-platform HOME="$prefix" timeout 20 "$prefix/bin/quillbeat" 2>&1 >/dev/null) &&
  fail "the installed program showed a window on no platform"
grep -q 'cannot show the window' <<<"$said" || fail "the installed program's window did not start: $said"
echo "PASS: $(echo "$actual" | wc -l) files installed, both validators pass"
