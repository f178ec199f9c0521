#!/bin/sh
# Checks what `make install` and `make package` deliver.
#   package_test.sh man SOURCE_DIR          the man page renders without warnings
#   package_test.sh deb SOURCE_DIR BUILD_DIR the Debian package's control data and files
# Exits 77 (skipped) when the tool it needs is missing.
set -eu
mode=$1
src=$2

fail() { echo "FAIL: $*" >&2; exit 1; }

if [ "$mode" = man ]; then
  command -v man >/dev/null || exit 77
  warnings=$(MANWIDTH=80 man --warnings -l "$src/doc/tarnwick.1" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "man page warnings: $warnings"
  text=$(MANWIDTH=80 man -l "$src/doc/tarnwick.1" 2>/dev/null)
  # Every option of the command line is described.
  for option in /d= /sd= /f= /sf= /i /kh /ke /filter= /bd= /l /m=0 /b=0 /v=0 /nw= /raw \
                /relines /log= /q /j= --jobs= /skip /shard= /report= --help --version; do
    printf '%s' "$text" | grep -qF -- "$option" || fail "man page does not name $option"
  done
  for section in SYNOPSIS OPTIONS REPORT "MACHINE-READABLE REPORT" "EXIT STATUS" FILES EXAMPLES; do
    printf '%s' "$text" | grep -q "^$section" || fail "man page has no $section section"
  done
  exit 0
fi

build=$3
command -v dpkg-deb >/dev/null && command -v cpack >/dev/null || exit 77
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The window's program comes with a build that has the window.
window=
[ -x "$build/app/tarnwick-window" ] && window=tarnwick-window
DESTDIR="$work/root" cmake --install "$build" --prefix /usr/local >/dev/null
for f in bin/tarnwick ${window:+bin/$window} share/man/man1/tarnwick.1 share/applications/tarnwick.desktop \
         share/icons/hicolor/scalable/apps/tarnwick.svg; do
  [ -f "$work/root/usr/local/$f" ] || fail "make install does not install $f"
done

(cd "$work" && cpack -G DEB -B "$work/pkg" --config "$build/CPackConfig.cmake" >cpack.log 2>&1) ||
  { cat "$work/cpack.log" >&2; fail "cpack failed"; }
deb=$(ls "$work"/pkg/tarnwick_*.deb) || fail "no package built"

info=$(dpkg-deb --info "$deb")
depends=$(printf '%s\n' "$info" | sed -n 's/^ Depends: //p')
for lib in libc6 libstdc++6 libtiff6 libqt6widgets6; do
  printf '%s' "$depends" | grep -q "\\b$lib\\b" || fail "Depends lacks $lib: $depends"
done
printf '%s\n' "$info" | grep -q '^ Package: tarnwick$' || fail "package name: $info"

contents=$(dpkg-deb --contents "$deb")
for f in ./usr/bin/tarnwick ${window:+./usr/bin/$window} ./usr/share/man/man1/tarnwick.1 \
         ./usr/share/applications/tarnwick.desktop \
         ./usr/share/icons/hicolor/scalable/apps/tarnwick.svg; do
  printf '%s\n' "$contents" | grep -q " $f\$" || fail "package lacks $f"
done

# The packaged executable runs with this system's libraries.
dpkg-deb -x "$deb" "$work/extracted"
"$work/extracted/usr/bin/tarnwick" --version | grep -q '^tarnwick ' || fail "packaged tarnwick"
