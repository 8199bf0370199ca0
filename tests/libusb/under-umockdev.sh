#!/bin/sh
# Runs a test program under umockdev's preload, as umockdev-wrapper does. A
# program built with the address or thread sanitizer needs the sanitizer's
# runtime first in LD_PRELOAD, and umockdev-wrapper would put its preload in
# front of it: such a program gets the runtime first, then the preload.
# Child processes inherit the same order. Under the thread sanitizer, the
# races it reports inside umockdev and GLib (not instrumented) are suppressed.
set -eu
runtime=$(ldd "$1" 2>/dev/null | awk '/lib(asan|tsan)\.so/ { print $3; exit }')
if [ -z "$runtime" ]; then
    exec umockdev-wrapper "$@"
fi
case "$runtime" in
*tsan*)
    TSAN_OPTIONS="${TSAN_OPTIONS:+$TSAN_OPTIONS }suppressions=$(dirname "$0")/tsan-umockdev.supp"
    export TSAN_OPTIONS
    ;;
esac
exec env LD_PRELOAD="$runtime:libumockdev-preload.so.0${LD_PRELOAD:+:$LD_PRELOAD}" "$@"
