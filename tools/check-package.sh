#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the Debian package, checks it with Debian's validators, installs it on this machine
# and runs the installed programs; removes it again at the end. For CI, or a throwaway machine:
# it installs packages as root (the validators, then morvane itself).
#   tools/check-package.sh [PACKAGE.deb]     (default: build one with tools/package.sh)
set -euo pipefail
cd "$(dirname "$0")/.."

validators=(lintian desktop-file-utils appstream man-db groff-base bash-completion)
bash tools/deps.sh "${validators[@]}"

if [ $# -gt 0 ]; then
    deb=$(realpath "$1")
else
    deb=$(bash tools/package.sh | tail -n 1)
fi
version=$(dpkg-deb -f "$deb" Version)
echo "check-package: $deb (version $version)"

failures=0
check() {
    local what=$1
    shift
    if "$@"; then
        echo "ok    $what"
    else
        echo "FAIL  $what"
        failures=$((failures + 1))
    fi
}
# Passes when the command succeeds and says nothing on stdout or stderr.
silent() {
    local out
    out=$("$@" 2>&1) || { printf '%s\n' "$out"; return 1; }
    [ -z "$out" ] || { printf '%s\n' "$out"; return 1; }
}

check "file name is morvane_${version}_amd64.deb" test "$(basename "$deb")" = "morvane_${version}_amd64.deb"
check "lintian: no errors or warnings" lintian --fail-on error,warning --info "$deb"
# dpkg-shlibdeps computes them from the programs: the C++ run time and Qt's widgets at least.
depends_computed() {
    local depends
    depends=$(dpkg-deb -f "$deb" Depends)
    echo "      Depends: $depends"
    [[ $depends == *libstdc++6* && $depends == *libqt6widgets6* ]]
}
check "run-time dependencies computed" depends_computed

sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
installed_before=$(dpkg-query -W -f='${Status}' morvane 2>/dev/null || true)
remove() {
    case $installed_before in
        *"install ok installed"*) ;;
        *) "${sudo_cmd[@]}" apt-get purge -y -qq morvane >/dev/null || true ;;
    esac
}
trap remove EXIT
# apt-get brings in whatever the package's computed dependencies name.
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "$deb" >/dev/null

check "morvane-cli is installed on the PATH" test "$(command -v morvane-cli)" = /usr/bin/morvane-cli
check "morvane-cli --version names $version" bash -c "morvane-cli --version | grep -qx 'Morvane Firmware Updater $version'"
check "morvane-cli --list runs" morvane-cli --list
check "morvane-sim --version names $version" bash -c "morvane-sim --version | grep -q ' $version\$'"
export QT_QPA_PLATFORM=offscreen
check "morvane --help" bash -c "morvane --help | grep -q '^Usage: morvane'"
check "morvane --version names $version" bash -c "morvane --version | grep -qx 'Morvane Firmware Updater $version'"
# The window itself: still open after three seconds means it found its libraries and started.
window_runs() {
    local status=0
    timeout 3 morvane >/dev/null 2>&1 || status=$?
    [ "$status" -eq 124 ]
}
check "morvane opens its window and keeps running" window_runs

check "desktop-file-validate" silent desktop-file-validate /usr/share/applications/morvane.desktop
check "desktop-file-validate morvane-bench" silent desktop-file-validate \
    /usr/share/applications/morvane-bench.desktop
desktop_icon() {
    local icon
    icon=$(sed -n 's/^Icon=//p' /usr/share/applications/morvane.desktop)
    for size in 16 22 24 32 48 64 128 256; do
        [ -f "/usr/share/icons/hicolor/${size}x${size}/apps/$icon.png" ] || return 1
    done
}
check "the desktop entry's icon is in hicolor at every size" desktop_icon
check "appstreamcli validate --no-net" appstreamcli validate --no-net \
    /usr/share/metainfo/io.github.morvane.Morvane.metainfo.xml
for page in morvane morvane-cli morvane-sim; do
    check "man finds $page(1)" bash -c "man -w $page >/dev/null"
    check "man --warnings $page(1)" silent env MANWIDTH=80 LC_ALL=C.UTF-8 bash -c "man --warnings $page >/dev/null"
done
completion=/usr/share/bash-completion/completions/morvane-cli
check "bash -n on the completion" bash -n "$completion"
# --com completes the numbers that --list finds: a devices folder makes COM 7 appear. The list
# offers only ttys, so the link leads to the one every Linux has.
com_completes() {
    local devices
    devices=$(mktemp -d)
    ln -s /dev/ptmx "$devices/com7"
    MORVANE_DEVICES=$devices bash -c '
        source /usr/share/bash-completion/bash_completion
        source '"$completion"'
        COMP_WORDS=(morvane-cli --com ""); COMP_CWORD=2
        _morvane_cli morvane-cli "" --com
        printf "%s\n" "${COMPREPLY[@]}"' | grep -qx 7
    local status=$?
    rm -rf "$devices"
    return $status
}
check "completion: --com offers the COM numbers --list finds" com_completes
# The options come from --help, the newest ones included.
options_complete() {
    local offered
    offered=$(bash -c '
        source /usr/share/bash-completion/bash_completion
        source '"$completion"'
        COMP_WORDS=(morvane-cli --); COMP_CWORD=1
        COMP_LINE="morvane-cli --"; COMP_POINT=${#COMP_LINE}
        _morvane_cli morvane-cli -- morvane-cli
        printf "%s\n" "${COMPREPLY[@]}"')
    grep -qx -- --line-check <<<"$offered" && grep -qx -- --ignore-battery <<<"$offered"
}
check "completion: --line-check and --ignore-battery are offered" options_complete

if [ "$failures" -gt 0 ]; then
    echo "check-package: $failures failed"
    exit 1
fi
echo "check-package: all checks passed"
