#!/usr/bin/env bash
# Installs the build into a temporary DESTDIR with the default prefix and with /usr, and checks that
# the program, the desktop entry, its icon and the udev rules land where the desktop and udev look.
set -euo pipefail
dest=$(mktemp -d)
trap 'rm -rf "$dest"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
for prefix in /usr/local /usr; do
    DESTDIR=$dest$prefix cmake --install "$1" --prefix "$prefix" >"$dest/log" 2>&1 || { cat "$dest/log"; fail "$prefix"; }
    top=$dest$prefix$prefix
    [ -x "$top/bin/korvaline" ] || fail "$prefix: bin/korvaline is missing"
    [ -f "$top/lib/udev/rules.d/70-korvaline.rules" ] || fail "$prefix: the udev rules are missing"
    desktop=$top/share/applications/korvaline.desktop
    desktop-file-validate "$desktop" || fail "$prefix: desktop-file-validate rejects the entry"
    grep -qx 'Exec=korvaline' "$desktop" && grep -qx 'Icon=korvaline' "$desktop" ||
        fail "$prefix: the entry does not start and show the installed program"
    # The hicolor folder promises the size; a smaller image would be scaled up and blurred.
    size=$(identify -format '%wx%h %m' "$top/share/icons/hicolor/512x512/apps/korvaline.png")
    [ "$size" = "512x512 PNG" ] || fail "$prefix: the icon is $size, not a 512x512 PNG"
done
echo "program, desktop entry, icon and udev rules installed for /usr/local and /usr"
