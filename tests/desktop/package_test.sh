#!/usr/bin/env bash
# cpack -G DEB, then the package is installed and `quillbeat --version` runs without a display: with
# dpkg -i on this machine when running as root in CI ($CI set, or QUILLBEAT_DPKG_INSTALL=1), else
# unpacked with dpkg-deb -x into a folder. Its Depends line names the libraries, the SoundFont and the font.
# Usage: package_test.sh <build folder>
set -euo pipefail
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

(cd "$build" && cpack -G DEB -B "$work" --config CPackConfig.cmake >"$work/cpack.log" 2>&1) || {
  cat "$work/cpack.log" >&2
  fail "cpack -G DEB"
}
deb=$(ls "$work"/quillbeat_*.deb)
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for want in 'fluid-soundfont-gm | timgm6mb-soundfont' 'fonts-noto-cjk | fonts-ipafont-gothic' libqt6widgets6 \
  libfluidsynth3 libsndfile1 libmpg123-0 libsdl2-2.0-0 libqt6dbus6; do
  [[ $depends == *"$want"* ]] || fail "Depends lacks $want"
done
files=$(dpkg-deb -c "$deb" | awk '{print $6}')
for want in ./usr/bin/quillbeat ./usr/lib/quillbeat/libquillbeat-sound.so ./usr/share/applications/io.github.quillbeat.Quillbeat.desktop ./usr/share/quillbeat/demo.mid; do
  grep -qx "$want" <<<"$files" || fail "the package lacks $want"
done

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
