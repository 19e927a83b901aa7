#!/bin/sh
# Unit under test: the install rules (cmake --install), the desktop entry,
# the AppStream metadata and velmor-log's service unit.
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
  rm -rf "$dest" "$dest.units"
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
# the icons, the AppStream metadata, velmor-log's unit and its rotation.
count=$(find "$dest" -type f | wc -l)
[ "$count" -eq 12 ] || { find "$dest" -type f; fail "$count files installed, 12 expected"; }
# The manifest, which uninstalling goes by, lists them under the prefix.
expected="/usr/local/bin/velmor
/usr/local/bin/velmor-log
/usr/local/bin/velmor-sim
/usr/local/etc/logrotate.d/velmor-log
/usr/local/lib/systemd/system/velmor-log@.service
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
# The unit as systemd reads it (offline: systemd need not run here), for an
# instance, with the program and the manual page it names where they were
# installed: no complaint at all, and a hardening exposure below 3.0.
unit=$root/lib/systemd/system/velmor-log@.service
command -v systemd-analyze >/dev/null 2>&1 ||
  fail "systemd-analyze is missing (Debian: systemd, a Build-Depends that make test installs)"
grep -qx 'ExecStart=/usr/local/bin/velmor-log --output /var/lib/velmor/log/%i.csv --config /etc/velmor/log/%i.conf' "$unit" ||
  fail "the unit's ExecStart does not start the installed velmor-log with the instance's file"
units=$dest.units
mkdir "$units"
# Quoted: the temporary directory's name may hold a space.
sed "s|^ExecStart=/usr/local/bin/\([^ ]*\)|ExecStart=\"$root/bin/\1\"|" "$unit" >"$units/velmor-log@.service"
if ! report=$(cd "$units" && MANPATH="$root/share/man" systemd-analyze verify ./velmor-log@bench1.service 2>&1) ||
   [ -n "$report" ]; then
  printf '%s\n' "$report"
  fail "systemd-analyze verify"
fi
echo "systemd-analyze verify: clean"
security=$(cd "$units" && systemd-analyze security --offline=true --no-pager ./velmor-log@bench1.service 2>&1) ||
  { printf '%s\n' "$security"; fail "systemd-analyze security"; }
exposure=$(printf '%s\n' "$security" | sed -n 's/^.*Overall exposure level for [^:]*: \([0-9.]*\) \([A-Z]*\).*$/\1 \2/p')
[ -n "$exposure" ] || { printf '%s\n' "$security"; fail "no exposure level from systemd-analyze security"; }
awk -v e="${exposure% *}" 'BEGIN { exit !(e < 3.0) }' ||
  { printf '%s\n' "$security" | grep '✗'; fail "exposure $exposure, not below 3.0"; }
echo "systemd-analyze security: exposure $exposure"

echo "installed: $(cd "$dest" && find . -type f | sort | tr '\n' ' ')"
