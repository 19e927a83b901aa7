#!/bin/sh
# Unit under test: the install rules (cmake --install), the desktop entry and
# the AppStream metadata.
# Installs the build into a temporary DESTDIR and checks what a desktop needs.
set -eu
build=$1
dest=$(mktemp -d)
# cmake --install rewrites the build's install_manifest.txt, which a real
# install left there for uninstalling: keep it.
manifest="$build/install_manifest.txt"
[ -f "$manifest" ] && cp -p "$manifest" "$dest.manifest"
restore() {
  if [ -f "$dest.manifest" ]; then mv -f "$dest.manifest" "$manifest"; else rm -f "$manifest"; fi
  rm -rf "$dest"
}
trap restore EXIT
fail() { echo "FAIL: $*"; exit 1; }

DESTDIR="$dest" cmake --install "$build" --prefix /usr/local >/dev/null
root="$dest/usr/local"

for program in velmor velmor-sim velmor-log; do
  [ -x "$root/bin/$program" ] || fail "bin/$program missing or not executable"
done
desktop="$root/share/applications/velmor.desktop"
icon="$root/share/icons/hicolor/scalable/apps/velmor.svg"
png="$root/share/icons/hicolor/48x48/apps/velmor.png"
[ -f "$desktop" ] || fail "desktop entry missing"
[ -f "$icon" ] || fail "icon missing"
grep -q '<svg' "$icon" || fail "icon is not an SVG image"
# A PNG whose header chunk says 48 x 48.
[ -f "$png" ] || fail "48 px icon missing"
[ "$(od -An -tx1 -j12 -N12 "$png" | tr -d ' \n')" = "494844520000003000000030" ] ||
  fail "48 px icon is not a 48 x 48 PNG"

# Only what a package ships: the programs, their manual pages, the entry,
# the icons and the AppStream metadata.
count=$(find "$dest" -type f | wc -l)
[ "$count" -eq 10 ] || { find "$dest" -type f; fail "$count files installed, 10 expected"; }
# The manifest, which uninstalling goes by, lists them under the prefix.
expected="/usr/local/bin/velmor
/usr/local/bin/velmor-log
/usr/local/bin/velmor-sim
/usr/local/share/applications/velmor.desktop
/usr/local/share/icons/hicolor/48x48/apps/velmor.png
/usr/local/share/icons/hicolor/scalable/apps/velmor.svg
/usr/local/share/man/man1/velmor-log.1
/usr/local/share/man/man1/velmor-sim.1
/usr/local/share/man/man1/velmor.1
/usr/local/share/metainfo/org.velmor.velmor.metainfo.xml"
[ "$(sort "$manifest")" = "$expected" ] || { cat "$manifest"; fail "install_manifest.txt"; }

# The entry starts the installed program by its name and shows the installed icon.
value() { sed -n "s/^$1=//p" "$desktop"; }
[ "$(value Type)" = Application ] || fail "Type"
[ "$(value Name)" = Velmor ] || fail "Name"
[ -n "$(value Comment)" ] || fail "Comment"
[ "$(value Exec)" = velmor ] || fail "Exec"
[ "$(value Icon)" = velmor ] || fail "Icon"
[ -n "$(value Categories)" ] || fail "Categories"

# The man page is there with its exit statuses, which --help lists as well.
man=$root/share/man/man1/velmor-log.1
[ -f "$man" ] || fail "velmor-log.1 missing"
grep -q '^\.SH EXIT STATUS' "$man" || fail "velmor-log.1 has no EXIT STATUS"
"$root/bin/velmor-log" --help | grep -q '^Exit status:' || fail "velmor-log --help has no exit statuses"

if command -v desktop-file-validate >/dev/null 2>&1; then
  desktop-file-validate "$desktop" || fail "desktop-file-validate"
  echo "desktop-file-validate: clean"
else
  echo "desktop-file-validate not installed (Debian: desktop-file-utils): entry checked by keys only"
fi
metainfo="$root/share/metainfo/org.velmor.velmor.metainfo.xml"
grep -q '<launchable type="desktop-id">velmor.desktop</launchable>' "$metainfo" ||
  fail "the metainfo does not name the desktop entry"
# Offline, the validator cannot tell that an address does not resolve; with
# network access it fails on one. So: none at a domain reserved for examples.
if grep -Eq '<url[^>]*>[a-z]+://([^/<]*\.)?(example\.(org|com|net)|[^/<]*\.(example|invalid|test|localhost))[/<:]' "$metainfo"; then
  fail "the metainfo names an address that does not resolve"
fi
if command -v appstreamcli >/dev/null 2>&1; then
  # No homepage until the project has a public home: AppStream 1.0 (Debian
  # 13) warns of that, and may warn of nothing else.
  if ! report=$(appstreamcli validate --no-net "$metainfo" 2>&1); then
    others=$(printf '%s\n' "$report" | grep -E '^[EW]:' | grep -v ': url-homepage-missing$' || true)
    if [ -n "$others" ] || ! printf '%s\n' "$report" | grep -q ': url-homepage-missing$'; then
      printf '%s\n' "$report"
      fail "appstreamcli validate"
    fi
  fi
  echo "appstreamcli validate: clean"
fi
echo "installed: $(cd "$dest" && find . -type f | sort | tr '\n' ' ')"
