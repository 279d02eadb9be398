#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The Windows installer as a user meets it, under Wine: a silent install (/S) into a prefix of
# its own, the installed morvane-cli.exe --version, the licence, the Start-menu entry, the
# entry among the installed programs and the event source of the records of loads, then a
# silent uninstall, which waits while morvane-cli.exe runs and then leaves nothing behind; and
# an install into a folder outside Program Files, and its uninstall.
# The portable .zip, when given, must hold the same files, stripped.
#   tools/test-windows-installer.sh SETUP.exe VERSION [PORTABLE.zip]
set -euo pipefail
setup="$(realpath "$1")"
version="$2"
portable="${3:-}"
here="$(cd "$(dirname "$0")/.." && pwd)"
. "$here/tools/lib/wine.sh"
morvane_wine_env "${MORVANE_INSTALLER_WINEPREFIX:-$here/build-windows/wineprefix-installer}"
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Morvane'
event_source_key='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\Morvane'
publisher="$(sed -n 's/^Copyright ([cC]) [0-9, -]* //p' "$here/LICENSE" | head -n 1)"

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# The data of one value of a key, as `reg query` prints it.
reg_value() {
  wine reg query "$1" /v "$2" | tr -d '\r' | sed -n "s/^ *$2 *REG_[A-Z_]* *//p"
}
uninstall_value() { reg_value "$uninstall_key" "$1"; }

if [ -n "$portable" ]; then
  listing="$(python3 -c 'import sys, zipfile; print("\n".join(zipfile.ZipFile(sys.argv[1]).namelist()))' "$portable")"
  for file in morvane.exe morvane-cli.exe LICENSE.txt; do
    grep -q "/$file\$" <<<"$listing" || fail "$file missing from $(basename "$portable")"
  done
  # The programs go out stripped: with their debug information they weigh tens of MB.
  python3 - "$portable" <<'EOF' || fail "a program in $(basename "$portable") carries its debug information"
import sys, zipfile
sizes = {i.filename.rsplit("/", 1)[-1]: i.file_size for i in zipfile.ZipFile(sys.argv[1]).infolist()}
sys.exit(0 if all(sizes[p] < 5_000_000 for p in ("morvane.exe", "morvane-cli.exe")) else 1)
EOF
fi

exec 9>"$WINEPREFIX.lock"
flock 9
morvane_wine_boot
programs="$WINEPREFIX/drive_c/Program Files/Morvane"
shortcut="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Tundro W6 Firmware v1.22.lnk"
bench="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Morvane Bench.lnk"
rm -rf "$programs" "$shortcut" "$bench"

wine "$setup" /S
wineserver --wait
[ -f "$programs/morvane.exe" ] || fail "morvane.exe not installed"
[ -f "$programs/uninstall.exe" ] || fail "no uninstaller"
grep -q "^MIT License" "$programs/LICENSE.txt" || fail "no licence beside the programs"
[ -f "$shortcut" ] || fail "no Start-menu entry"
[ -f "$bench" ] || fail "no Start-menu entry for the bench"
# The link names the watch with its page (its arguments in UTF-16, or the code page's bytes).
python3 - "$bench" <<'EOF' || fail "the bench's Start-menu entry does not start the watch with its page"
import sys
link = open(sys.argv[1], "rb").read()
sys.exit(0 if any(a.encode(e) in link for a in ["--watch --serve 8080"] for e in ("utf-16-le", "ascii")) else 1)
EOF
out="$(wine "$programs/morvane-cli.exe" --version | tr -d '\r')"
echo "$out"
grep -q "Morvane Firmware Updater $version" <<<"$out" || fail "the installed morvane-cli.exe does not say $version"
[ "$(uninstall_value DisplayVersion)" = "$version" ] || fail "not listed among the installed programs as $version"
[ "$(uninstall_value Publisher)" = "$publisher" ] || fail "the uninstall entry does not name '$publisher' as publisher"
[ "$(uninstall_value DisplayIcon)" = 'C:\Program Files\Morvane\morvane.exe,0' ] ||
  fail "the uninstall entry's icon is '$(uninstall_value DisplayIcon)'"
size="$(uninstall_value EstimatedSize)"
# The two programs take some MiB; a size of 0 or a few KiB means it was not measured.
[ -n "$size" ] && [ $((size)) -gt 1024 ] || fail "the uninstall entry's size is '$size'"

# The records of loads reach the Application event log under a source of their own.
message_file="$(reg_value "$event_source_key" EventMessageFile)"
[ "$message_file" = 'C:\Program Files\Morvane\morvane-cli.exe' ] ||
  fail "the event source 'Morvane' names '$message_file' as its message file"

# While a program runs, its file cannot go: the uninstaller waits for it to end, then goes on.
wine "$programs/morvane-cli.exe" --watch >/dev/null 2>&1 &
watching=$!
sleep 3
wine "$programs/uninstall.exe" /S
sleep 5
[ -f "$programs/morvane-cli.exe" ] || fail "the uninstaller did not wait for the running morvane-cli.exe"
wine taskkill /f /im morvane-cli.exe >/dev/null 2>&1 || true
wait "$watching" || true
# The uninstaller runs a copy of itself from the temporary folder: wait for it.
wineserver --wait
[ ! -e "$programs" ] || fail "files left in Program Files: $(ls "$programs")"
[ ! -e "$shortcut" ] || fail "Start-menu entry left"
[ ! -e "$bench" ] || fail "the bench's Start-menu entry left"
if wine reg query "$uninstall_key" >/dev/null 2>&1; then
  fail "still listed among the installed programs"
fi
if wine reg query "$event_source_key" >/dev/null 2>&1; then
  fail "the event source 'Morvane' is still registered"
fi
# A folder outside Program Files (its rights are set so that only administrators may change it;
# Wine's icacls only takes the request): installed there, and removed again.
tools="$WINEPREFIX/drive_c/Tools/Morvane"
rm -rf "$tools"
wine "$setup" /S '/D=C:\Tools\Morvane'
wineserver --wait
[ -f "$tools/morvane-cli.exe" ] && [ -f "$tools/uninstall.exe" ] ||
  fail "not installed into a folder outside Program Files"
wine "$tools/uninstall.exe" /S
wineserver --wait
[ ! -e "$tools" ] || fail "files left in C:\Tools\Morvane: $(ls "$tools")"
echo "installed, ran and uninstalled $(basename "$setup")"
