#!/usr/bin/env bash
# The Debian package as its recipe builds it (scripts/package: the player alone, with dpkg-buildflags'
# hardening), checked by lintian --pedantic, which must report nothing; then it is installed and
# `quillbeat --version` runs without a display: with dpkg -i on this machine when running as root in
# CI ($CI set, or QUILLBEAT_DPKG_INSTALL=1), else unpacked with dpkg-deb -x into a folder. Its Depends
# line names the libraries, the SoundFont, the font and Qt's translations.
# Usage: package_test.sh <build folder>   (the package is built in <build folder>/package, kept between runs)
set -euo pipefail
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

"$(dirname "$0")/../../scripts/package" "$build/package" "$work" >"$work/package.log" 2>&1 || {
  cat "$work/package.log" >&2
  fail "scripts/package"
}
deb=$(ls "$work"/quillbeat_*.deb)
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for want in 'fluid-soundfont-gm | timgm6mb-soundfont' 'fonts-ipafont-gothic | fonts-noto-cjk' qt6-translations-l10n \
  libqt6widgets6 libfluidsynth3 libsndfile1 libmpg123-0 libsdl2-2.0-0 libqt6dbus6 \
  libopenmpt0 libgme0 libopusfile0 libsoxr0 libfftw3-single3; do
  [[ $depends == *"$want"* ]] || fail "Depends lacks $want"
done
files=$(dpkg-deb -c "$deb" | awk '{print $6}')
lib=./usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/quillbeat
for want in ./usr/bin/quillbeat "$lib/libquillbeat-sound.so" "$lib/libquillbeat-window.so" ./usr/share/applications/io.github.quillbeat.Quillbeat.desktop \
  ./usr/share/quillbeat/demo.mid ./usr/share/doc/quillbeat/copyright ./usr/share/doc/quillbeat/changelog.gz \
  ./usr/share/mime/packages/io.github.quillbeat.Quillbeat.xml; do
  grep -qx "$want" <<<"$files" || fail "the package lacks $want"
done
# No maintainer scripts: the only shared libraries are private modules, which need no ldconfig.
control=$(dpkg-deb -I "$deb")
for script in postinst postrm preinst prerm triggers shlibs; do
  ! grep -qw "$script" <<<"$control" || fail "the package carries a $script"
done
# Its notes go to standard output (a note that it runs as root goes to standard error).
lintian --pedantic --fail-on error,warning,pedantic "$deb" >"$work/lintian.log" 2>"$work/lintian.err" || {
  cat "$work/lintian.log" "$work/lintian.err" >&2
  fail "lintian --pedantic"
}
[ ! -s "$work/lintian.log" ] || { cat "$work/lintian.log" >&2; fail "lintian has something to say"; }
echo "lintian --pedantic: nothing to report"

if [ "$(id -u)" -eq 0 ] && { [ -n "${CI:-}" ] || [ "${QUILLBEAT_DPKG_INSTALL:-0}" = 1 ]; } &&
  ! dpkg-query -W -f='${Status}' quillbeat 2>/dev/null | grep -q 'install ok installed'; then
  # A CI machine is ours to change: the package goes in with dpkg (apt fetches what it lacks) and
  # comes out again at the end.
  trap 'dpkg -r quillbeat >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
  if ! dpkg -i "$deb" >"$work/dpkg.log" 2>&1; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -f >>"$work/dpkg.log" 2>&1 || {
      cat "$work/dpkg.log" >&2
      fail "installing the package"
    }
  fi
  dpkg-query -W -f='${Status}' quillbeat | grep -q 'install ok installed' || fail "the package is not installed"
  bin=/usr/bin/quillbeat
else
  dpkg-deb -x "$deb" "$work/root"
  bin=$work/root/usr/bin/quillbeat
fi
version=$(env -u DISPLAY -u WAYLAND_DISPLAY "$bin" --version) || fail "quillbeat --version failed"
[ "$version" = "quillbeat $(dpkg-deb -f "$deb" Version)" ] || fail "version: $version"
echo "PASS: $version from $(basename "$deb")"
