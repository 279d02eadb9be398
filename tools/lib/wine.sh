# SPDX-License-Identifier: MIT
# shellcheck shell=bash
# The Wine that every script of the Windows build runs its programs in. Sourced:
#   . tools/lib/wine.sh
#   morvane_wine_env PREFIX      quiet, without a display, in PREFIX
#   morvane_wine_boot            makes the prefix unless it is made (the caller holds its lock)
#
# No Mono or Gecko installers: they would ask for a download, and nothing here needs them. No
# menu builder: it would write a desktop entry for every program a prefix installs, and for the
# prefix itself, into the user's own menus (~/.local/share), outside the build.

morvane_wine_env() {
  export WINEPREFIX="$1"
  export WINEDEBUG="${WINEDEBUG:--all}"
  case ";${WINEDLLOVERRIDES:-};" in
    *";winemenubuilder.exe=d;"*) ;;
    *) export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=};winemenubuilder.exe=d" ;;
  esac
  unset DISPLAY
  mkdir -p "$(dirname "$WINEPREFIX")"
}

morvane_wine_boot() {
  [ -f "$WINEPREFIX/system.reg" ] || wineboot --init >/dev/null 2>&1
}
