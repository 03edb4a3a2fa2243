#!/usr/bin/env bash
# Installs the build into a temporary DESTDIR, once with the default prefix and once with /usr, and
# checks that the program, the desktop entry, its icon and the udev rules land where the desktop
# and udev look for them.
set -euo pipefail
build=$1
dest=$(mktemp -d)
trap 'rm -rf "$dest"' EXIT

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

for prefix in /usr/local /usr; do
    root=$dest/$(basename "$prefix")
    DESTDIR=$root cmake --install "$build" --prefix "$prefix" >"$dest/log" 2>&1 ||
        { cat "$dest/log"; fail "cmake --install with prefix $prefix"; }
    top=$root$prefix

    [ -x "$top/bin/korvaline" ] || fail "$prefix: bin/korvaline is missing or not executable"
    desktop=$top/share/applications/korvaline.desktop
    [ -f "$desktop" ] || fail "$prefix: the desktop entry is missing"
    icon=$top/share/icons/hicolor/512x512/apps/korvaline.png
    [ -f "$icon" ] || fail "$prefix: the icon is missing"
    rules=$top/lib/udev/rules.d/70-korvaline.rules
    [ -f "$rules" ] || fail "$prefix: the udev rules are missing"

    # The entry starts the installed program by name and names the installed icon.
    grep -qx 'Exec=korvaline' "$desktop" || fail "Exec does not start korvaline"
    grep -qx 'Icon=korvaline' "$desktop" || fail "Icon does not name korvaline"
    grep -qx 'Categories=AudioVideo;Audio;Music;' "$desktop" || fail "Categories differ"
    if command -v desktop-file-validate >/dev/null; then
        desktop-file-validate "$desktop" || fail "desktop-file-validate rejects the entry"
    fi
    # The hicolor folder promises the size; a smaller image would be scaled up and blurred.
    if command -v identify >/dev/null; then
        size=$(identify -format '%wx%h %m' "$icon")
        [ "$size" = "512x512 PNG" ] || fail "the icon is $size, not a 512x512 PNG"
    fi
    echo "$prefix: program, desktop entry, icon and udev rules installed"
done
