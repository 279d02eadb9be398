#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The Windows installer as a user meets it, under Wine: a silent install (/S) into a prefix of
# its own, the installed morvane-cli.exe --version, the Start-menu entry, then a silent uninstall
# that leaves nothing behind.
#   tools/test-windows-installer.sh SETUP.exe VERSION
set -euo pipefail
setup="$(realpath "$1")"
version="$2"
here="$(cd "$(dirname "$0")/.." && pwd)"
. "$here/tools/lib/wine.sh"
morvane_wine_env "${MORVANE_INSTALLER_WINEPREFIX:-$here/build-windows/wineprefix-installer}"

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

exec 9>"$WINEPREFIX.lock"
flock 9
morvane_wine_boot
programs="$WINEPREFIX/drive_c/Program Files/Morvane"
shortcut="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Tundro W6 Firmware v1.22.lnk"
rm -rf "$programs" "$shortcut"

wine "$setup" /S
wineserver --wait
[ -f "$programs/morvane.exe" ] || fail "morvane.exe not installed"
[ -f "$programs/uninstall.exe" ] || fail "no uninstaller"
[ -f "$shortcut" ] || fail "no Start-menu entry"
out="$(wine "$programs/morvane-cli.exe" --version | tr -d '\r')"
echo "$out"
grep -q "Morvane Firmware Updater $version" <<<"$out" || fail "the installed morvane-cli.exe does not say $version"
wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Morvane' /v DisplayVersion |
  grep -q "$version" || fail "not listed among the installed programs"

# The uninstaller runs a copy of itself from the temporary folder: wait for it.
wine "$programs/uninstall.exe" /S
wineserver --wait
[ ! -e "$programs" ] || fail "files left in Program Files: $(ls "$programs")"
[ ! -e "$shortcut" ] || fail "Start-menu entry left"
if wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Morvane' >/dev/null 2>&1; then
  fail "still listed among the installed programs"
fi
echo "installed, ran and uninstalled $(basename "$setup")"
