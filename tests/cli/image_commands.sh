#!/bin/sh
# The image commands of burnwright-cli end to end: make, check, convert, and the
# exit statuses of a refused file and of a bad argument.
set -eu
tool=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$tool" image make --body 19 --size 0x300000 --seed 3 "$work/kt700.bin" > "$work/made.txt"
grep -q '^length=3145728$' "$work/made.txt"
"$tool" image check --body 19 "$work/kt700.bin"
"$tool" image convert --body 19 "$work/kt700.bin" --record 000102030405060708090A0B0C0D \
    --chip "$work/chip.bin" --word "$work/word.bin" > "$work/numbers.txt"
grep -q '^GetChipImageSize=3145728$' "$work/numbers.txt"
grep -q '^GetWordImageSize=3932160$' "$work/numbers.txt"
grep -q '^GetLastUnit=3145727$' "$work/numbers.txt"
test "$(wc -c < "$work/word.bin")" -eq 3932160

status=0
"$tool" image check --body 25 "$work/kt700.bin" 2> "$work/refused.txt" || status=$?
test "$status" -eq 4
grep -q '^File size does not match the OTP size!$' "$work/refused.txt"

status=0
"$tool" image make --body 3 --size lots "$work/x.bin" 2> /dev/null || status=$?
test "$status" -eq 2
# What cannot be read whole, or holds nothing, is never converted.
truncate -s 2147483649 "$work/huge.bin"
: > "$work/empty.bin"
for input in "$work/huge.bin" /dev/zero "$work/empty.bin"; do
    status=0
    "$tool" image convert --body 26 "$input" --chip "$work/c.bin" --word "$work/w.bin" \
        > /dev/null 2> "$work/why.txt" || status=$?
    test "$status" -eq 4
    grep -Eq 'is too large!|cannot be read whole!|is empty!' "$work/why.txt"
    test ! -e "$work/c.bin"
done
echo "image commands: ok"
