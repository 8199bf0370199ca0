#!/bin/sh
# Every program answers --help and --version at once, with status 0, before it
# opens a window, touches a writer or writes a file.
set -eu
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
for program in "$@"; do
    name=$(basename "$program")
    for option in --help --version; do
        env -u DISPLAY -u WAYLAND_DISPLAY BURNWRIGHT_WRITER=sim:"$work/none.state" \
            "$program" "$option" > out.txt 2> err.txt
        grep -q "$name" out.txt
        test ! -s err.txt
    done
    grep -q '^usage' out.txt || "$program" --help | grep -qi 'usage'
done
test -z "$(ls -A | grep -v -e '^out.txt$' -e '^err.txt$')"
echo "help and version: ok"
