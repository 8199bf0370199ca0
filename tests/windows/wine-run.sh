#!/usr/bin/env bash
# Runs a Windows program under wine64 in the build tree's own prefix
# (BURNWRIGHT_WINEPREFIX, or wineprefix/ in the current folder's build tree),
# creating the prefix once; concurrent first runs wait for one creation.
set -euo pipefail
wine=${BURNWRIGHT_WINE:-/usr/lib/wine/wine64}
prefix=${BURNWRIGHT_WINEPREFIX:-}
if [ -z "$prefix" ]; then
    dir=$PWD
    while [ "$dir" != / ] && [ ! -f "$dir/CMakeCache.txt" ]; do dir=$(dirname "$dir"); done
    [ -f "$dir/CMakeCache.txt" ] || dir=$PWD
    prefix=$dir/wineprefix
fi
export WINEPREFIX=$prefix WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
if [ ! -f "$prefix/system.reg" ]; then
    mkdir -p "$(dirname "$prefix")"
    (
        flock 9
        if [ ! -f "$prefix/system.reg" ]; then
            "$wine" wineboot --init >/dev/null 2>&1 || true
            "$(dirname "$wine")/wineserver" -w || true
        fi
    ) 9>"$prefix.lock"
fi
exec "$wine" "$@"
