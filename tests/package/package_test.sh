#!/usr/bin/env bash
# The Debian package as `make package` builds it from this build tree: unpacked (never
# installed) into a temporary folder, its file list checked, its programs run, its desktop
# entry, metainfo and man pages validated, and lintian's verdict taken.
# usage: package_test.sh BUILD_DIR VERSION CPACK
set -euo pipefail
build=$1 version=$2 cpack=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

"$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$work" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; fail "cpack"; }
deb=$work/quillmere_${version}_$(dpkg --print-architecture).deb
[ -f "$deb" ] || fail "no $(basename "$deb") in: $(ls "$work")"
root=$work/root
dpkg-deb -x "$deb" "$root"

expected=(
  usr/bin/quillmere
  usr/bin/quillmere-convert
  usr/share/applications/quillmere.desktop
  usr/share/doc-base/quillmere
  usr/share/doc/quillmere/changelog.gz
  usr/share/doc/quillmere/copyright
  usr/share/doc/quillmere/manual.html
  usr/share/doc/quillmere/screenshot.png
  usr/share/icons/hicolor/16x16/apps/quillmere.png
  usr/share/icons/hicolor/32x32/apps/quillmere.png
  usr/share/icons/hicolor/48x48/apps/quillmere.png
  usr/share/icons/hicolor/scalable/apps/quillmere.svg
  usr/share/man/man1/quillmere-convert.1.gz
  usr/share/man/man1/quillmere.1.gz
  usr/share/metainfo/org.example.quillmere.metainfo.xml
)
diff -u <(printf '%s\n' "${expected[@]}" | sort) <(cd "$root" && find . ! -type d | sed 's|^\./||' | sort) ||
  fail "the package's files differ from the list above (- expected, + packaged)"

# Both programs answer --version; the window program without a display to open one on.
for program in quillmere-convert quillmere; do
  answer=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$root/usr/bin/$program" --version) ||
    fail "$program --version"
  [ "$answer" = "quillmere $version" ] || fail "$program --version said '$answer'"
done
# The version is also in the changelog and the metainfo's newest release.
zcat "$root/usr/share/doc/quillmere/changelog.gz" >"$work/changelog"
[ "$(dpkg-parsechangelog -l "$work/changelog" -S Version)" = "$version" ] ||
  fail "packaging/changelog's newest entry is not $version"
grep -q "<release version=\"$version\"" "$root"/usr/share/metainfo/*.xml ||
  fail "the metainfo lists no release $version"

printf 'From a@example.org Mon Dec  7 10:00:00 2026\nSubject: one\n\nFirst.\n\n%s\n' \
  'From b@example.org Mon Dec  7 11:00:00 2026' >"$work/two.mbox"
printf 'Subject: two\n\nSecond.\n' >>"$work/two.mbox"
"$root/usr/bin/quillmere-convert" --to eml --output "$work/out" --quiet "$work/two.mbox" ||
  fail "quillmere-convert"
[ "$(head -c 5 "$work/out$work/two.mbox/Email-1.eml")" = "From " ] ||
  fail "no Email-1.eml from the two-message mailbox: $(find "$work/out" -type f)"

desktop-file-validate "$root/usr/share/applications/quillmere.desktop" >"$work/desktop.log" 2>&1 &&
  [ ! -s "$work/desktop.log" ] || { cat "$work/desktop.log"; fail "desktop-file-validate"; }
appstreamcli validate --no-net "$root"/usr/share/metainfo/*.xml || fail "appstreamcli validate"
for page in "$root"/usr/share/man/man1/*.gz; do
  MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null | { ! grep .; } ||
    fail "man warns about $(basename "$page")"
done
lintian --fail-on error,warning "$deb" || fail "lintian"
echo "package $(basename "$deb") checked"
