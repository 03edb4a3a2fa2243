#!/usr/bin/env bash
# The Debian package built from the build tree, installed as root, run and purged without a trace.
# Usage: deb_test.sh BUILD_DIR
set -euo pipefail
build=$1
# Output is taken whole before grep looks at it: under pipefail, grep -q leaving at the first match
# kills a writer still writing (SIGPIPE) and fails the pipeline although the match was there.
installed() { [[ "$(dpkg-query -W -f='${Status}' korvaline 2>/dev/null)" == *installed* ]]; }
if [ "$(id -u)" -ne 0 ] || ! command -v apt-get >/dev/null || installed; then
    echo "skipped: needs root and apt-get, and no korvaline package installed already" && exit 77
fi
out=$(mktemp -d)
trap 'if installed; then apt-get purge -y -o DPkg::Lock::Timeout=300 korvaline >/dev/null; fi
rm -rf "$out"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

(cd "$build" && cpack -G DEB -B "$out" >"$out/cpack.log" 2>&1) || { cat "$out/cpack.log"; fail "cpack"; }
deb=$(echo "$out"/korvaline_*_amd64.deb)

contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
for path in ./usr/bin/korvaline ./usr/lib/korvaline/korvaline-window.so \
    ./usr/share/man/man1/korvaline.1.gz ./usr/share/applications/korvaline.desktop \
    ./usr/share/icons/hicolor/512x512/apps/korvaline.png ./usr/share/metainfo/com.example.korvaline.metainfo.xml \
    ./usr/lib/udev/rules.d/70-korvaline.rules ./usr/share/doc/korvaline/copyright; do
    grep -qx "$path" <<<"$contents" || fail "the package lacks $path"
done
depends=$(dpkg-deb -f "$deb" Depends)
for library in libc6 libcpp-httplib0.11 libudev1 libhidapi-hidraw0 libgtk-3-0 libwebkit2gtk-4.1-0; do
    grep -q "\b$library\b" <<<"$depends" || fail "Depends lacks $library: $depends"
done
control=$(dpkg-deb --ctrl-tarfile "$deb" | tar -t)
grep -qx './postinst' <<<"$control" || fail "no postinst"
lintian --fail-on error "$deb" || fail "lintian reports errors"

apt-get install -y -o DPkg::Lock::Timeout=300 "$deb" >/dev/null || fail "apt-get install"
appstreamcli validate --no-net /usr/share/metainfo/com.example.korvaline.metainfo.xml || fail "metainfo"
desktop-file-validate /usr/share/applications/korvaline.desktop || fail "the desktop entry"
version=$(/usr/bin/korvaline --version) || fail "the installed korvaline --version failed"
[[ "$version" == "korvaline $(dpkg-deb -f "$deb" Version)"* ]] || fail "it says: $version"
dpkg -L korvaline >"$out/files"
apt-get purge -y -o DPkg::Lock::Timeout=300 korvaline >/dev/null || fail "apt-get purge"
while read -r path; do
    [ -d "$path" ] || [ ! -e "$path" ] || fail "$path is left behind"
done <"$out/files"
